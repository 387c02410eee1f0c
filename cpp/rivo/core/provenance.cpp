#include "rivo/core/provenance.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "rivo/core/run_cache.hpp"

namespace tavro::rivo::prov {
namespace {

using cache::fs_json;
using cache::fs_string;

json file_json(const ProvFile& f) {
  return json{{"slot", fs_json(f.slot)},
              {"path", fs_json(f.path)},
              {"kind", f.is_dir ? "dir" : "file"},
              {"size", f.size},
              {"sha256", f.sha256.empty() ? json(nullptr) : json(f.sha256)}};
}

json text_or_null(const std::string& s) { return s.empty() ? json(nullptr) : fs_json(s); }

std::string str_of(const json& j) {
  if (j.is_null()) return {};
  try {
    return fs_string(j);
  } catch (const std::exception&) {
    return j.dump();
  }
}

bool write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A file: URI for an absolute path, bytes outside the unreserved set and
// '/' percent-encoded (so any file name gives a valid, lossless URI).
std::string file_uri(const std::string& path, bool is_dir) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '/') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  if (is_dir && out.back() != '/') out.push_back('/');
  return out;
}

std::string base_name(const std::string& p) {
  std::string s = p;
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  auto slash = s.rfind('/');
  return slash == std::string::npos ? s : s.substr(slash + 1);
}

// "quay.io/org/tool:1.0" -> registry quay.io, name org/tool, tag 1.0; a
// first component without '.', ':' or "localhost" is a Docker Hub name.
struct ImageRef {
  std::string registry, name, tag;
};

ImageRef parse_ref(const std::string& ref) {
  ImageRef r;
  std::string rest = ref;
  auto at = rest.find('@');
  if (at != std::string::npos) rest.resize(at);
  auto slash = rest.find('/');
  std::string first = slash == std::string::npos ? "" : rest.substr(0, slash);
  if (!first.empty() && (first.find('.') != std::string::npos || first.find(':') != std::string::npos ||
                         first == "localhost")) {
    r.registry = first;
    rest = rest.substr(slash + 1);
  } else {
    r.registry = "docker.io";
    if (rest.find('/') == std::string::npos) rest = "library/" + rest;
  }
  auto colon = rest.rfind(':');
  if (colon != std::string::npos && rest.find('/', colon) == std::string::npos) {
    r.tag = rest.substr(colon + 1);
    rest.resize(colon);
  } else if (at == std::string::npos) {
    r.tag = "latest";
  }
  r.name = rest;
  return r;
}

std::string fragment(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out.push_back(std::isalnum(c) || c == '-' || c == '_' || c == '.' ? static_cast<char>(c) : '_');
  return out;
}

// A text member of a record; "" when it is null or missing.
std::string field(const json& r, const char* key) {
  auto it = r.find(key);
  return it == r.end() ? std::string() : str_of(*it);
}

// One value alone, several as an array (the RO-Crate JSON-LD recommendation).
json one_or_many(const json& arr) { return arr.size() == 1 ? arr[0] : arr; }

// The members ro_crate() reads, with their types: a record edited by hand
// into another shape is left out rather than failing the export.
bool well_formed(const json& r) {
  auto is = [&](const char* k, bool (json::*pred)() const noexcept, bool nullable) {
    auto it = r.find(k);
    return it != r.end() && (((*it).*pred)() || (nullable && it->is_null()));
  };
  auto files_ok = [&](const char* k) {
    if (!is(k, &json::is_array, false)) return false;
    for (const auto& f : r.at(k))
      if (!f.is_object() || !f.contains("path") || !f.contains("sha256") ||
          !(f["sha256"].is_string() || f["sha256"].is_null()) || !f.value("size", json(0)).is_number_unsigned())
        return false;
    return true;
  };
  return is("run_id", &json::is_string, false) && r.contains("tool") && is("status", &json::is_string, false) &&
         is("key", &json::is_string, true) && is("arguments", &json::is_array, false) &&
         is("started", &json::is_string, false) && is("ended", &json::is_string, false) &&
         is("exit_status", &json::is_number_integer, true) && r.contains("recovery") && r.contains("backend") &&
         r.contains("error") && is("image", &json::is_object, false) && r["image"].contains("reference") &&
         r["image"].contains("identity") && files_ok("inputs") && files_ok("outputs");
}

}  // namespace

std::string iso_time(std::int64_t ns) {
  std::time_t secs = static_cast<std::time_t>(ns / 1'000'000'000);
  int millis = static_cast<int>((ns % 1'000'000'000) / 1'000'000);
  if (millis < 0) millis = 0;
  struct tm tm;
  gmtime_r(&secs, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d+00:00", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return buf;
}

json record_json(const RunRecord& r) {
  json inputs = json::array(), outputs = json::array(), args = json::array();
  for (const auto& f : r.inputs) inputs.push_back(file_json(f));
  for (const auto& f : r.outputs) outputs.push_back(file_json(f));
  for (const auto& a : r.arguments) args.push_back(fs_json(a));
  char host[256] = {0};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = 0;
  return json{{"format", "tavro-run"},
              {"version", 1},
              {"run_id", r.run_id},
              {"tool", fs_json(r.tool)},
              {"status", r.status},
              {"key", r.key.empty() ? json(nullptr) : json(r.key)},
              {"components", r.components},
              {"image", {{"reference", text_or_null(r.image_reference)}, {"identity", text_or_null(r.image_identity)}}},
              {"backend", text_or_null(r.backend)},
              {"arguments", args},
              {"started", iso_time(r.started_ns)},
              {"ended", iso_time(r.ended_ns)},
              {"seconds", static_cast<double>(r.ended_ns - r.started_ns) / 1e9},
              {"exit_status", r.exit_status ? json(*r.exit_status) : json(nullptr)},
              {"recovery", text_or_null(r.recovery)},
              {"inputs", inputs},
              {"outputs", outputs},
              {"output_dir", fs_json(r.output_dir)},
              {"restored_from", r.restored_from.empty() ? json(nullptr) : json(r.restored_from)},
              {"cached", r.cached},
              {"error", text_or_null(r.error)},
              {"host", fs_json(host)},
              {"pid", static_cast<long>(::getpid())}};
}

void append_record(const std::string& journal, const json& record) {
  const std::string line = record.dump() + "\n";
  fs::Fd fd(::open(journal.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
  if (!fd) throw_errno("open", journal);
  while (::flock(fd.get(), LOCK_EX) != 0)
    if (errno != EINTR) throw_errno("flock", journal);
  // A line a crash cut short would swallow ours: end it first.
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_errno("stat", journal);
  std::string text = line;
  if (st.st_size > 0) {
    fs::Fd rd(::open(journal.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    char last = '\n';
    if (rd && ::pread(rd.get(), &last, 1, st.st_size - 1) == 1 && last != '\n') text = "\n" + line;
  }
  if (!write_all(fd.get(), text)) throw_errno("write", journal);
  if (::fdatasync(fd.get()) != 0) throw_errno("fsync", journal);
  if (int e = fd.close_checked()) throw OsError(e, "close", journal);
}

std::vector<json> read_journal(const std::string& journal) {
  std::vector<json> out;
  std::string text;
  try {
    text = fs::read_file(journal);
  } catch (const OsError& e) {
    if (e.err() == ENOENT) return out;
    throw;
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // cut short: not a record yet
    json j = json::parse(text.begin() + static_cast<std::ptrdiff_t>(start),
                         text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
    auto format = j.is_object() ? j.find("format") : j.end();
    if (j.is_object() && format != j.end() && *format == "tavro-run" && well_formed(j)) out.push_back(std::move(j));
    start = end + 1;
  }
  return out;
}

json ro_crate(const std::vector<json>& records, std::int64_t published_ns) {
  static const std::string kProfile = "https://w3id.org/ro/wfrun/process/0.5";
  json graph = json::array();
  json actions = json::array();
  std::map<std::string, json> files;                 // @id -> entity
  std::map<std::string, std::string> content_of;     // path uri -> sha256 seen first
  std::map<std::string, json> tools, images;
  std::map<std::string, std::string> action_of_run;  // run id -> action @id
  for (const auto& r : records) action_of_run[field(r, "run_id")] = "#run-" + fragment(field(r, "run_id"));

  auto file_ref = [&](const json& f) {
    bool is_dir = f.value("kind", "file") == "dir";
    std::string path = str_of(f.at("path"));
    std::string uri = file_uri(path, is_dir);
    std::string sha = f.at("sha256").is_string() ? f.at("sha256").get<std::string>() : "";
    // One path may have held other bytes in another run: each content gets
    // its own entity.
    auto seen = content_of.find(uri);
    if (seen == content_of.end())
      content_of[uri] = sha;
    else if (seen->second != sha)
      uri += "#sha256=" + (sha.empty() ? std::string("unknown") : sha);
    if (!files.count(uri)) {
      json e{{"@id", uri}, {"@type", is_dir ? "Dataset" : "File"}, {"name", fs_json(base_name(path))}};
      e["contentSize"] = std::to_string(f.value("size", std::uint64_t{0}));
      if (!sha.empty()) e["sha256"] = sha;
      files[uri] = std::move(e);
    }
    return json{{"@id", uri}};
  };

  for (const auto& r : records) {
    const std::string run_id = field(r, "run_id");
    const std::string tool = str_of(r.at("tool"));
    const std::string status = field(r, "status");
    const std::string tool_id = "#tool-" + fragment(tool);
    if (!tools.count(tool_id)) tools[tool_id] = json{{"@id", tool_id}, {"@type", "SoftwareApplication"}, {"name", tool}};

    json action{{"@id", action_of_run[run_id]}, {"@type", "CreateAction"}, {"identifier", run_id},
                {"instrument", {{"@id", tool_id}}}};
    std::string args;
    for (const auto& a : r.at("arguments")) {
      if (!args.empty()) args += ' ';
      args += str_of(a);
    }
    std::string desc;
    if (status == "restored") {
      action["name"] = "Restore of " + tool + " from the run cache";
      desc = "Outputs restored from run cache entry " + field(r, "key") + ", made by run " +
             field(r, "restored_from");
      auto maker = action_of_run.find(field(r, "restored_from"));
      if (maker != action_of_run.end()) desc += " (" + maker->second + ")";
      desc += "; the tool did not run.";
    } else {
      action["name"] = "Run of " + tool;
      desc = "Ran " + args + ".";
      if (r.at("exit_status").is_number()) desc += " Exit status " + std::to_string(r.at("exit_status").get<int>()) + ".";
      if (r.at("recovery").is_string()) desc += " Recovery: " + str_of(r.at("recovery")) + ".";
    }
    if (r.at("backend").is_string()) desc += " Backend: " + str_of(r.at("backend")) + ".";
    if (r.at("key").is_string()) desc += " Run cache key: " + r.at("key").get<std::string>() + ".";
    action["description"] = desc;
    action["startTime"] = field(r, "started");
    action["endTime"] = field(r, "ended");
    action["actionStatus"] = status == "failed" ? "http://schema.org/FailedActionStatus"
                                                : "http://schema.org/CompletedActionStatus";
    if (status == "failed" && r.at("error").is_string()) action["error"] = str_of(r.at("error"));

    json objects = json::array(), results = json::array();
    for (const auto& f : r.at("inputs")) objects.push_back(file_ref(f));
    for (const auto& f : r.at("outputs")) results.push_back(file_ref(f));
    if (!objects.empty()) action["object"] = one_or_many(objects);
    if (!results.empty()) action["result"] = one_or_many(results);

    const json& image = r.at("image");
    std::string backend = r.at("backend").is_string() ? str_of(r.at("backend")) : "";
    if (image.at("reference").is_string() && (backend == "docker" || backend == "apptainer")) {
      std::string ref = str_of(image.at("reference"));
      std::string identity = image.at("identity").is_string() ? str_of(image.at("identity")) : "";
      std::string image_id = "#image-" + fragment(identity.empty() ? ref : identity);
      if (!images.count(image_id)) {
        ImageRef p = parse_ref(ref);
        json e{{"@id", image_id},
               {"@type", "ContainerImage"},
               {"additionalType",
                {{"@id", backend == "docker" ? "https://w3id.org/ro/terms/workflow-run#DockerImage"
                                             : "https://w3id.org/ro/terms/workflow-run#SIFImage"}}},
               {"registry", p.registry},
               {"name", p.name}};
        if (!p.tag.empty()) e["tag"] = p.tag;
        std::string digest = identity.rfind("sha256:", 0) == 0 ? identity.substr(7) : "";
        if (!digest.empty()) e["sha256"] = digest;
        if (!identity.empty()) e["identifier"] = identity;
        images[image_id] = std::move(e);
      }
      action["containerImage"] = {{"@id", image_id}};
    }
    actions.push_back({{"@id", action["@id"]}});
    graph.push_back(std::move(action));
  }

  json parts = json::array();
  for (const auto& [id, e] : files) parts.push_back({{"@id", id}});
  json root{{"@id", "./"},
            {"@type", "Dataset"},
            {"name", "Provenance of tool runs"},
            {"description", "Tool runs recorded by tavro.helpers.rivo: " + std::to_string(records.size()) +
                                " runs, real and restored from the run cache. Files are referenced, not copied."},
            {"datePublished", iso_time(published_ns)},
            // RO-Crate asks for one; the data are the user's and so is the choice.
            {"license", "No license was stated for this record; ask whoever ran the pipeline."},
            {"conformsTo", {{"@id", kProfile}}}};
  if (!actions.empty()) root["mentions"] = one_or_many(actions);
  if (!parts.empty()) root["hasPart"] = one_or_many(parts);

  json out_graph = json::array();
  out_graph.push_back({{"@id", "ro-crate-metadata.json"},
                       {"@type", "CreativeWork"},
                       {"conformsTo", {{"@id", "https://w3id.org/ro/crate/1.1"}}},
                       {"about", {{"@id", "./"}}}});
  out_graph.push_back(std::move(root));
  out_graph.push_back({{"@id", kProfile}, {"@type", "CreativeWork"}, {"name", "Process Run Crate"}, {"version", "0.5"}});
  for (auto& [id, e] : tools) out_graph.push_back(std::move(e));
  for (auto& [id, e] : images) out_graph.push_back(std::move(e));
  for (auto& a : graph) out_graph.push_back(std::move(a));
  for (auto& [id, e] : files) out_graph.push_back(std::move(e));
  return json{{"@context", {"https://w3id.org/ro/crate/1.1/context", "https://w3id.org/ro/terms/workflow-run/context"}},
              {"@graph", out_graph}};
}

}  // namespace tavro::rivo::prov
