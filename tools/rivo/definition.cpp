#include "definition.hpp"

#include <algorithm>
#include <sstream>

#include "git_registry.hpp"
#include "toml_include.hpp"

namespace rivo {
namespace {

std::string where(const std::string& origin, const toml::node& node) {
  const auto& b = node.source().begin;
  if (!b.line) return origin;
  return origin + ":" + std::to_string(b.line) + ":" + std::to_string(b.column);
}

const char* type_name(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: return "table";
    case toml::node_type::array: return "array";
    case toml::node_type::string: return "string";
    case toml::node_type::integer: return "integer";
    case toml::node_type::floating_point: return "float";
    case toml::node_type::boolean: return "boolean";
    case toml::node_type::date: return "date";
    case toml::node_type::time: return "time";
    case toml::node_type::date_time: return "date-time";
    default: return "value";
  }
}

[[noreturn]] void wrong_type(const std::string& origin, const toml::node& node, const std::string& key, const char* expected) {
  throw Failure(where(origin, node) + ": '" + key + "' must be " + expected + ", not " + type_name(node));
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
  toml::table root;
  try {
    root = toml::parse(text, origin);
  } catch (const toml::parse_error& err) {
    const auto& b = err.source().begin;
    throw Failure(origin + ":" + std::to_string(b.line) + ":" + std::to_string(b.column) + ": " +
                  std::string(err.description()));
  }

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
      if (!is_safe_name(bin)) throw Failure(where(origin, item) + ": unusable binary name '" + bin + "'");
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

  static const char* known[] = {"description", "image",   "entrypoint", "args_template", "gpu_required",
                                "tier",        "version", "binaries",   "inputs",        "outputs"};
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
