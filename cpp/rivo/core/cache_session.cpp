#include "rivo/core/cache_session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.hpp"

namespace tavro::rivo::cache {
namespace {

bool exists(const std::string& p) {
  struct stat st;
  return p.find('\0') == std::string::npos && ::stat(p.c_str(), &st) == 0;
}

}  // namespace

std::string absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char buf[4096];
  if (!::getcwd(buf, sizeof buf)) return path;
  std::string cwd(buf);
  if (path.empty() || path == ".") return cwd;
  return cwd + (cwd.back() == '/' ? "" : "/") + (path.rfind("./", 0) == 0 ? path.substr(2) : path);
}

CacheSession::CacheSession(RunCache& cache, SessionRequest req) : cache_(cache), req_(std::move(req)) {}

void CacheSession::prepare(const AbortHook& abort) {
  try {
    identity_ = resolve_identity(req_.identity, cache_.memo());
  } catch (const Aborted&) {
    throw;
  } catch (const std::exception& e) {
    identity_.problem = std::string("the image identity could not be found: ") + e.what();
  }
  parts_.tool = req_.tool;
  parts_.image = req_.image;
  parts_.entrypoint = req_.entrypoint;
  parts_.args_template = req_.args_template;
  parts_.outputs = req_.outputs;
  parts_.image_identity = identity_.identity;
  parts_.backend = identity_.backend;
  for (const auto& in : req_.inputs) {
    InputSlot slot;
    slot.slot = in.slot;
    switch (in.kind) {
      case rivo::InputSlot::Kind::Text:
        if (!in.sources.empty() && exists(in.sources[0]))
          slot.items.push_back({InputItem::Kind::Path, in.sources[0], {}});
        else
          slot.items.push_back({InputItem::Kind::Text, in.text, {}});
        break;
      case rivo::InputSlot::Kind::List:
        slot.is_list = true;
        for (const auto& src : in.sources)
          if (exists(src)) slot.items.push_back({InputItem::Kind::Path, src, {}});
        break;
      case rivo::InputSlot::Kind::Scalar:
        slot.items.push_back({InputItem::Kind::Scalar, in.text, {}});
        break;
      case rivo::InputSlot::Kind::Ignored:
        break;
    }
    if (!slot.items.empty()) parts_.inputs.push_back(std::move(slot));
  }
  try {
    hash_inputs(parts_, cache_.memo(), abort);
  } catch (const Aborted&) {
    throw;
  } catch (const std::exception& e) {
    problem_ = std::string("an input could not be hashed: ") + e.what();
    parts_.inputs.clear();
    return;
  }
  for (const auto& s : parts_.inputs)
    for (const auto& it : s.items)
      for (const auto& r : it.digest.reads) reads_.push_back(r);
  components_ = cache::components(parts_);
  if (!identity_.problem.empty()) {
    problem_ = identity_.problem;
    return;
  }
  key_ = key_of(components_);
}

std::optional<Entry> CacheSession::lookup(const std::function<void(double)>& on_wait, const AbortHook& abort,
                                          std::string* dropped) {
  lock_ = cache_.lock(key_, on_wait, abort);
  return cache_.lookup(key_, dropped, abort);
}

std::vector<std::string> CacheSession::why_missed() const {
  auto before = cache_.newest_components(req_.tool);
  if (!before) return {};
  try {
    return differences(*before, components_);
  } catch (const std::exception&) {
    return {"the newest entry of the tool has another format"};
  }
}

std::optional<Entry> CacheSession::commit(const std::string& run_id, std::int64_t started_ns,
                                          const Delivery& delivery, const StagedView& staged, std::string* skipped,
                                          const AbortHook& abort) {
  StagedView expected;
  for (const auto& s : parts_.inputs) {
    std::size_t n = 0;
    for (const auto& it : s.items) n += it.kind == InputItem::Kind::Path;
    if (n) expected.emplace_back(s.slot, n);
  }
  if (expected != staged) {
    if (skipped) *skipped = "the inputs staged were not the ones hashed (a path appeared or vanished meanwhile)";
    return std::nullopt;
  }
  for (const auto& s : parts_.inputs)
    for (const auto& it : s.items)
      if (it.kind == InputItem::Kind::Path && !still_same(it.digest)) {
        if (skipped) *skipped = "the input " + it.text + " changed while the tool ran";
        return std::nullopt;
      }
  return cache_.commit(key_, components_, req_.tool, run_id, prov::iso_time(started_ns), req_.output_dir, delivery,
                       abort);
}

prov::RunRecord CacheSession::record(const std::string& run_id, const std::string& status) const {
  prov::RunRecord r;
  r.run_id = run_id;
  r.tool = req_.tool;
  r.status = status;
  r.key = key_;
  r.components = components_;
  r.image_reference = identity_.reference;
  r.image_identity = identity_.identity;
  r.backend = identity_.backend;
  r.output_dir = absolute(req_.output_dir.empty() ? "." : req_.output_dir);
  for (const auto& s : parts_.inputs)
    for (const auto& it : s.items)
      if (it.kind == InputItem::Kind::Path)
        r.inputs.push_back({s.slot, absolute(it.text), it.digest.is_dir, it.digest.size, it.digest.sha256});
  return r;
}

void CacheSession::add_outputs(prov::RunRecord& r, const std::vector<OutputFile>& files,
                               const std::vector<OutputSpec>& outputs) {
  for (const auto& f : files) {
    std::string top = f.rel.substr(0, f.rel.find('/'));
    std::string slot = top == "_extras" || top == "stdout" ? top : "";
    for (const auto& o : outputs)
      if (o.name == top) slot = top;
    r.outputs.push_back({slot, absolute(f.path), false, f.size, f.sha256});
  }
}

}  // namespace tavro::rivo::cache
