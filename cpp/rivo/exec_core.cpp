#include "rivo/exec_core.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <unordered_map>
#include <utility>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/publish.hpp"

namespace tavro::rivo::core {

std::string final_component(std::string_view path) {
  std::string_view last;
  size_t i = 0;
  while (i <= path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view seg = path.substr(i, j - i);
    if (!seg.empty() && seg != ".") last = seg;
    i = j + 1;
  }
  return std::string(last);
}

std::string join(std::string_view base, std::string_view name) {
  if (base.empty() || base == ".") return std::string(name);
  std::string out(base);
  if (out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool is_project_name(std::string_view name) {
  return name == "rivo.toml" || name == "rivo.lock" || name == ".rivo";
}

// ---------------------------------------------------------------------------
// Argument tokens: the placeholder pattern is \{[^}]+\}. Braces are ASCII, so
// matching on UTF-8 bytes agrees with matching on code points.

bool is_placeholder(std::string_view tok) {
  if (tok.size() < 3 || tok.front() != '{' || tok.back() != '}') return false;
  return tok.substr(1, tok.size() - 2).find('}') == std::string_view::npos;
}

bool has_placeholder(std::string_view tok) {
  for (size_t i = tok.find('{'); i != std::string_view::npos; i = tok.find('{', i + 1)) {
    size_t close = tok.find('}', i + 1);
    if (close == std::string_view::npos) return false;  // no later '{' can close either
    if (close > i + 1) return true;
  }
  return false;
}

namespace {

// The output slot a "> target" names: the slot itself, or "./slot" as a
// slot name starting with '-' is substituted.
std::optional<std::string> slot_named(const std::string& target,
                                      const std::unordered_set<std::string>& out_slots) {
  if (out_slots.count(target)) return target;
  if (target.size() > 2 && target.compare(0, 2, "./") == 0 && target[2] == '-' &&
      out_slots.count(target.substr(2)))
    return target.substr(2);
  return std::nullopt;
}

}  // namespace

FilteredArgs filter_tokens(const std::vector<std::string>& tokens,
                           const std::unordered_set<std::string>& out_slots,
                           const std::vector<std::string>& paths) {
  static const std::unordered_set<std::string> kRedirections = {">", "<", "2>", ">>", "2>>"};
  FilteredArgs r;
  size_t i = 0;
  while (i < tokens.size()) {
    const std::string& tok = tokens[i];
    if (kRedirections.count(tok)) {
      if (tok == ">" && i + 1 < tokens.size())
        if (auto slot = slot_named(decode_token(tokens[i + 1], paths), out_slots))
          r.capture_slot = *slot;
      i += 2;
    } else if (is_placeholder(tok)) {
      // The option in front of a missing value goes too: "-x {missing}".
      if (!r.clean.empty() && !r.clean.back().empty() && r.clean.back()[0] == '-')
        r.clean.pop_back();
      ++i;
    } else if (has_placeholder(tok)) {
      ++i;
    } else {
      r.clean.push_back(decode_token(tok, paths));
      ++i;
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// Staging

namespace {

// os.path.abspath: the path made absolute against the working directory and
// normalised lexically ("a/.." -> the directory itself), never resolved.
std::string absolute_normalised(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::string cwd(4096, '\0');
    while (!::getcwd(cwd.data(), cwd.size())) {
      if (errno != ERANGE) throw_errno("getcwd");
      cwd.resize(cwd.size() * 2);
    }
    cwd.resize(cwd.find('\0'));
    full = cwd + "/" + path;
  }
  std::vector<std::string_view> parts;
  std::string_view v(full);
  size_t i = 0;
  while (i <= v.size()) {
    size_t j = v.find('/', i);
    if (j == std::string_view::npos) j = v.size();
    std::string_view seg = v.substr(i, j - i);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    i = j + 1;
  }
  std::string out;
  for (auto p : parts) (out += '/') += p;
  return out.empty() ? "/" : out;
}

}  // namespace

std::string stage_one(const std::string& sandbox, const std::string& src, const std::string& slot) {
  std::string name = final_component(src);
  // "." and "x/.." have no usable name of their own; take the directory's.
  if (name.empty() || name == "..") name = final_component(absolute_normalised(src));
  if (name.empty()) throw InvalidArgument("cannot stage the root directory '/' as an input");
  std::string dst = join(sandbox, name);
  if (fs::exists(dst)) {
    std::string prefixed = slot + "_" + name;
    if (!fs::is_single_component(prefixed))
      throw InvalidArgument("input slot name '" + slot +
                            "' cannot prefix a staged file name: it must be one path component");
    dst = join(sandbox, prefixed);
  }
  if (!fs::exists(dst)) {
    if (fs::is_dir(src))
      fs::copy_tree(src, dst, true);
    else
      fs::copy_file(src, dst);
  }
  return dst;
}

StageResult stage_all(const std::string& sandbox, const std::vector<StageRequest>& requests) {
  StageResult out(requests.size());
  for (size_t i = 0; i < requests.size(); ++i)
    for (const auto& src : requests[i].sources)
      if (fs::exists(src)) out[i].push_back(stage_one(sandbox, src, requests[i].slot));
  return out;
}

// ---------------------------------------------------------------------------
// Harvest

namespace {

using Kind = fs::DirEntry::Kind;

bool is_symlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// An absolute symlink written inside the container names a container path,
// which on the host is some unrelated file (/etc/passwd, a user's key): only
// links that stay inside the sandbox are read.
bool confined(const std::string& path, Kind kind, const std::string& sandbox) {
  return kind != Kind::Symlink || fs::resolves_inside(path, sandbox);
}

bool regular_inside(const std::string& path, Kind kind, const std::string& sandbox) {
  if (kind == Kind::File) return true;
  return kind == Kind::Symlink && fs::is_regular_file(path) && confined(path, kind, sandbox);
}

bool dir_inside(const std::string& path, Kind kind, const std::string& sandbox) {
  if (kind == Kind::Dir) return true;
  return kind == Kind::Symlink && fs::is_dir(path) && confined(path, kind, sandbox);
}

std::string parent_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool is_own_file(const std::string& path, const HarvestPlan& plan) {
  struct stat st;
  return plan.own_file && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         plan.own_file->first == static_cast<unsigned long long>(st.st_dev) &&
         plan.own_file->second == static_cast<unsigned long long>(st.st_ino);
}

// A directory slot: every regular file below src_dir is copied into a
// temporary folder beside dest, which then replaces dest in one step. The
// delivered paths are spelled below dest.
void deliver_dir(const std::string& sandbox, const std::string& src_dir, const std::string& output,
                 const std::string& dest, std::vector<std::string>& delivered) {
  fs::make_dirs(output.empty() ? "." : output);
  std::string tmp = fs::temp_dir_beside(dest);
  try {
    std::unordered_set<std::string> made;
    for (const auto& rel : fs::walk_files(src_dir, false, true)) {
      std::string f = src_dir + "/" + rel;
      if (is_symlink(f) && !fs::resolves_inside(f, sandbox)) continue;
      std::string target = tmp + "/" + rel;
      std::string parent = parent_of(target);
      if (parent != tmp && made.insert(parent).second) fs::make_dirs(parent);
      fs::copy_file(f, target);
      delivered.push_back(dest + "/" + rel);
    }
    struct stat st;
    if (::stat(src_dir.c_str(), &st) == 0) (void)::chmod(tmp.c_str(), st.st_mode & 07777);
  } catch (...) {
    fs::remove_tree_ignore_errors(tmp);
    throw;
  }
  fs::publish_dir(tmp, dest);
}

}  // namespace

std::vector<std::string> sandbox_names(const std::string& sandbox) {
  std::vector<std::string> out;
  for (auto& e : fs::list_dir(sandbox)) out.push_back(std::move(e.name));
  return out;
}

HarvestResult harvest(const HarvestPlan& plan) {
  const std::string& sandbox = plan.sandbox;
  const std::vector<fs::DirEntry> listing = fs::list_dir(sandbox);
  std::unordered_map<std::string, Kind> kinds;
  for (const auto& e : listing) kinds.emplace(e.name, e.kind);
  auto kind_of = [&](const std::string& name) {
    auto it = kinds.find(name);
    return it == kinds.end() ? Kind::Other : it->second;
  };

  HarvestResult out(plan.slots.size());
  std::unordered_set<std::string> harvested_dirs;

  for (size_t si = 0; si < plan.slots.size(); ++si) {
    const HarvestSlot& slot = plan.slots[si];
    std::string dest = join(plan.output, slot.name);
    if (slot.is_dir) {
      std::string src_name = slot.name;
      std::string src_dir = join(sandbox, src_name);
      if (!fs::exists(src_dir)) {
        // The tool wrote its directory under another name: take it when it
        // is the only candidate.
        std::vector<const std::string*> candidates;
        for (const auto& e : listing) {
          if (plan.staged_names.count(e.name) || is_project_name(e.name)) continue;
          if (dir_inside(join(sandbox, e.name), e.kind, sandbox)) candidates.push_back(&e.name);
        }
        if (candidates.size() == 1) {
          src_name = *candidates[0];
          src_dir = join(sandbox, src_name);
        }
      }
      // A file under the slot's name, or a link leading out of the sandbox,
      // delivers nothing.
      if (!dir_inside(src_dir, kind_of(src_name), sandbox)) continue;
      harvested_dirs.insert(src_name);
      deliver_dir(sandbox, src_dir, plan.output, dest, out[si]);
    } else {
      for (const auto& name : slot.matches) {
        if (plan.staged_names.count(name) || is_project_name(name)) continue;
        std::string src = join(sandbox, name);
        if (!regular_inside(src, kind_of(name), sandbox)) continue;
        fs::make_dirs(plan.output.empty() ? "." : plan.output);
        if (is_own_file(src, plan))
          fs::publish_move(src, dest);
        else
          fs::publish_copy(src, dest);
        out[si].push_back(std::move(dest));
        break;
      }
    }
  }

  std::unordered_set<std::string> delivered;
  for (const auto& paths : out)
    for (const auto& p : paths) delivered.insert(final_component(p));

  const std::string extras = join(plan.output, "_extras");
  for (const auto& e : listing) {
    if (plan.staged_names.count(e.name) || is_project_name(e.name)) continue;
    std::string src = join(sandbox, e.name);
    if (regular_inside(src, e.kind, sandbox)) {
      if (delivered.count(e.name)) continue;
      fs::ensure_real_dir(extras);
      fs::publish_copy(src, join(extras, e.name));
    } else if (dir_inside(src, e.kind, sandbox)) {
      if (harvested_dirs.count(e.name)) continue;
      fs::ensure_real_dir(extras);
      std::string dest = join(extras, e.name);
      std::string tmp = fs::temp_dir_beside(dest);
      try {
        fs::copy_tree(src, tmp, true, sandbox);
      } catch (...) {
        fs::remove_tree_ignore_errors(tmp);
        throw;
      }
      fs::publish_dir(tmp, dest);
    }
  }
  return out;
}

void write_replacing(const std::string& path, std::string_view bytes) {
  // Writing through a symlink could overwrite any host file, and opening a
  // FIFO would block until someone reads it: such entries are replaced.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) &&
      ::unlink(path.c_str()) != 0)
    throw_errno("unlink", path);
  fs::write_file(path, bytes);
}

}  // namespace tavro::rivo::core
