#include "definition.hpp"

#include <algorithm>
#include <sstream>

#include "git_registry.hpp"
#include "toml_read.hpp"

namespace rivo {
namespace {

[[noreturn]] void wrong_type(const std::string& origin, const toml::node& node, const std::string& key, const char* expected) {
  throw Failure(toml_where(origin, node) + ": '" + key + "' must be " + expected + ", not " + toml_type_name(node));
}

std::string get_string(const toml::table& tbl, const char* key, const std::string& origin, std::string fallback = {}) {
  const toml::node* node = tbl.get(key);
  if (!node) return fallback;
  if (!node->is_string()) wrong_type(origin, *node, key, "a string");
  return node->as_string()->get();
}

bool get_bool(const toml::table& tbl, const char* key, const std::string& origin, bool fallback) {
  const toml::node* node = tbl.get(key);
  if (!node) return fallback;
  if (!node->is_boolean()) wrong_type(origin, *node, key, "true or false");
  return node->as_boolean()->get();
}

Json to_json(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: {
      Json obj = Json::object();
      for (auto [k, v] : in_file_order(*node.as_table())) obj[std::string(k->str())] = to_json(*v);
      return obj;
    }
    case toml::node_type::array: {
      Json arr = Json::array();
      for (const auto& item : *node.as_array()) arr.push_back(to_json(item));
      return arr;
    }
    case toml::node_type::string: return Json(node.as_string()->get());
    case toml::node_type::integer: return Json(node.as_integer()->get());
    case toml::node_type::floating_point: return Json(node.as_floating_point()->get());
    case toml::node_type::boolean: return Json(node.as_boolean()->get());
    case toml::node_type::date: {
      std::ostringstream os;
      os << node.as_date()->get();
      return Json(os.str());
    }
    case toml::node_type::time: {
      std::ostringstream os;
      os << node.as_time()->get();
      return Json(os.str());
    }
    case toml::node_type::date_time: {
      std::ostringstream os;
      os << node.as_date_time()->get();
      return Json(os.str());
    }
    default: return Json();
  }
}

std::vector<Slot> parse_slots(const toml::table& root, const char* section, const std::string& origin) {
  std::vector<Slot> slots;
  const toml::node* node = root.get(section);
  if (!node) return slots;
  if (!node->is_table()) wrong_type(origin, *node, section, "a table of slots");
  for (auto [k, v] : in_file_order(*node->as_table())) {
    Slot slot;
    slot.name = std::string(k->str());
    std::string label = std::string(section) + "." + slot.name;
    if (v->is_string()) {  // shorthand: reads = "fastq"
      slot.type = v->as_string()->get();
      slots.push_back(std::move(slot));
      continue;
    }
    if (!v->is_table()) wrong_type(origin, *v, label, "a table or a type string");
    const toml::table& t = *v->as_table();
    slot.type = get_string(t, "type", origin);
    slot.description = get_string(t, "description", origin);
    slot.required = get_bool(t, "required", origin, false);
    for (auto [sk, sv] : in_file_order(t)) {
      std::string key(sk->str());
      if (key != "type" && key != "description" && key != "required") slot.extra[key] = to_json(*sv);
    }
    slots.push_back(std::move(slot));
  }
  return slots;
}

// [resources]: each value checked here, so a definition with a bad one is
// refused when it is read (add, show, exec), naming the file and the key.
Resources parse_resources(const toml::table& root, const std::string& origin) {
  Resources res;
  const toml::node* node = root.get("resources");
  if (!node) return res;
  if (!node->is_table()) wrong_type(origin, *node, "resources", "a table (cpus, memory, time)");
  for (auto [k, v] : in_file_order(*node->as_table())) {
    const std::string key = "resources." + std::string(k->str());
    const std::string name(k->str());
    try {
      if (name == "cpus") {
        if (v->is_integer()) {
          res.cpus = parse_cpus(static_cast<double>(v->as_integer()->get()));
          res.cpus_integer = true;
        } else if (v->is_floating_point()) {
          res.cpus = parse_cpus(v->as_floating_point()->get());
        } else {
          wrong_type(origin, *v, key, "a number such as 2 or 0.5");
        }
      } else if (name == "memory") {
        if (!v->is_string()) wrong_type(origin, *v, key, "a text such as \"4 GiB\"");
        res.memory_bytes = parse_memory(v->as_string()->get());
        res.memory = trim(v->as_string()->get());
      } else if (name == "time") {
        if (!v->is_string()) wrong_type(origin, *v, key, "a text such as \"2h\" or \"01:30:00\"");
        res.time_seconds = parse_time(v->as_string()->get());
        res.time = trim(v->as_string()->get());
      } else {
        throw Failure(toml_where(origin, *v) + ": unknown key '" + key + "' (expected cpus, memory or time)");
      }
    } catch (const std::invalid_argument& e) {
      std::ostringstream shown;
      if (v->is_string()) shown << '"' << v->as_string()->get() << '"';
      else v->visit([&shown](auto&& value) { shown << value; });
      throw Failure(toml_where(origin, *v) + ": " + key + " = " + shown.str() + ": " + e.what());
    }
  }
  return res;
}

Json slot_json(const Slot& slot) {
  Json j = Json::object();
  j["type"] = Json(slot.type);
  j["description"] = Json(slot.description);
  j["required"] = Json(slot.required);
  return j;
}

}  // namespace

std::string dump_json(const Json& doc) { return doc.dump(2, ' ', false, Json::error_handler_t::replace); }

ToolDef parse_definition(const std::string& name, const std::string& text, const std::string& origin) {
  toml::table root = read_toml(text, origin);

  ToolDef def;
  def.name = name;
  def.origin = origin;
  def.source_text = text;
  def.description = get_string(root, "description", origin);
  def.image = get_string(root, "image", origin);
  def.args_template = get_string(root, "args_template", origin);
  def.gpu_required = get_bool(root, "gpu_required", origin, false);
  def.tier = get_string(root, "tier", origin, "core");
  def.version = get_string(root, "version", origin);

  if (const toml::node* node = root.get("binaries")) {
    if (!node->is_array()) wrong_type(origin, *node, "binaries", "an array of strings");
    for (const auto& item : *node->as_array()) {
      if (!item.is_string()) wrong_type(origin, item, "binaries", "an array of strings");
      std::string bin = item.as_string()->get();
      if (!is_safe_name(bin)) throw Failure(toml_where(origin, item) + ": unusable binary name '" + bin + "'");
      if (std::find(def.binaries.begin(), def.binaries.end(), bin) == def.binaries.end()) def.binaries.push_back(bin);
    }
  }
  def.entrypoint = get_string(root, "entrypoint", origin);
  if (def.entrypoint.empty()) def.entrypoint = def.binaries.empty() ? name : def.binaries.front();
  if (def.binaries.empty()) {
    std::string bin = base_name(def.entrypoint);
    if (is_safe_name(bin)) def.binaries.push_back(bin);
  }

  def.inputs = parse_slots(root, "inputs", origin);
  def.outputs = parse_slots(root, "outputs", origin);
  def.resources = parse_resources(root, origin);

  static const char* known[] = {"description", "image",   "entrypoint", "args_template", "gpu_required", "tier",
                                "version",     "binaries", "inputs",    "outputs",       "resources"};
  for (auto [k, v] : in_file_order(root)) {
    std::string key(k->str());
    if (std::find(std::begin(known), std::end(known), key) == std::end(known)) def.extra[key] = to_json(*v);
  }
  return def;
}

Json ToolDef::to_json() const {
  Json j = Json::object();
  j["name"] = Json(name);
  j["description"] = Json(description);
  j["image"] = Json(image);
  j["entrypoint"] = Json(entrypoint);
  j["args_template"] = Json(args_template);
  j["gpu_required"] = Json(gpu_required);
  j["tier"] = Json(tier);
  if (!version.empty()) j["version"] = Json(version);
  Json bins = Json::array();
  for (const auto& b : binaries) bins.push_back(Json(b));
  j["binaries"] = std::move(bins);
  for (const auto* group : {&inputs, &outputs}) {
    Json slots = Json::object();
    for (const auto& slot : *group) {
      Json s = slot_json(slot);
      // Annotations such as format or cardinality follow the three fixed keys.
      for (const auto& [key, value] : slot.extra.items()) s[key] = value;
      slots[slot.name] = std::move(s);
    }
    j[group == &inputs ? "inputs" : "outputs"] = std::move(slots);
  }
  if (resources.any()) j["resources"] = resources.to_json();
  for (const auto& [key, value] : extra.items()) j[key] = value;
  return j;
}

}  // namespace rivo

namespace rivo {

Registry::Registry(std::string location) : location_(std::move(location)) {
  git_ = git::is_git_location(location_);
  if (git_) {
    dir_ = git::checkout_dir(location_);
    return;
  }
  std::string path = location_;
  if (starts_with(path, "file://")) path = path.substr(7);
  dir_ = fs::path(path);
}

bool Registry::usable() const {
  if (location_.empty()) return false;
  std::error_code ec;
  return fs::is_directory(dir_, ec);
}

bool Registry::ensure_checkout() const {
  if (!git_ || prepared_) return usable();
  try {
    git::prepare(location_, false);
  } catch (const Failure&) {
    return false;  // require() explains it
  }
  prepared_ = true;
  return usable();
}

void Registry::refresh() const {
  if (!git_) return;
  git::prepare(location_, true);
  prepared_ = true;
}

void Registry::require() const {
  if (git_ && !prepared_) {
    git::prepare(location_, false);  // throws, naming the reason, when there is no copy
    prepared_ = true;
  }
  if (usable()) return;
  if (location_.empty())
    throw Failure("no tool registry configured: set RIVO_REGISTRY or pass --registry DIR", kExitUsage);
  bool remote = location_.find("://") != std::string::npos && !starts_with(location_, "file://");
  if (remote || starts_with(location_, "git@"))
    throw Failure("registry '" + location_ +
                      "' is neither a local directory nor a Git repository; this rivo reads tool "
                      "definitions from a folder of <tool>.toml files or a Git repository of them "
                      "(set RIVO_REGISTRY or pass --registry)",
                  kExitUsage);
  std::error_code ec;
  if (!fs::exists(dir_, ec))
    throw Failure("registry directory '" + dir_.string() + "': No such file or directory", kExitUsage);
  throw Failure("registry '" + dir_.string() + "' is not a directory", kExitUsage);
}

std::optional<fs::path> Registry::find(const std::string& tool) const {
  if (!usable() || !is_safe_name(tool)) return std::nullopt;
  fs::path file = dir_ / (tool + ".toml");
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) return std::nullopt;
  return file;
}

std::optional<ToolDef> Registry::load(const std::string& tool) const {
  if (git_ && !ensure_checkout()) return std::nullopt;
  auto guard = git_ ? git::read_lock(location_) : tavro::lock::FileLock();
  auto file = find(tool);
  if (!file) return std::nullopt;
  return parse_definition(tool, read_file(*file), file->string());
}

std::vector<std::string> Registry::names() const {
  std::vector<std::string> out;
  if (git_ && !ensure_checkout()) return out;
  auto guard = git_ ? git::read_lock(location_) : tavro::lock::FileLock();
  if (!usable()) return out;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir_, ec)) {
    const fs::path& p = entry.path();
    if (p.extension() != ".toml") continue;
    std::string stem = p.stem().string();
    std::error_code ec2;
    if (is_safe_name(stem) && fs::is_regular_file(p, ec2)) out.push_back(stem);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace rivo
