// RIVO.run: standard output into its slot, the harvest of the sandbox, the
// standard-output fallback and the tool result map.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/publish.hpp"
#include "rivo/run_plan.hpp"

namespace tavro::rivo {
namespace {

using namespace detail;

nb::bytes stdout_bytes(nb::handle out) {
  if (PyBytes_Check(out.ptr())) return nb::borrow<nb::bytes>(out);
  return nb::borrow<nb::bytes>(out.attr("encode")("utf-8", "surrogateescape"));
}

std::string_view view(const nb::bytes& b) { return {b.c_str(), b.size()}; }

// str.isspace() for the ASCII range.
bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

// Whether a large streamed output holds anything but ASCII whitespace; read
// only up to the first such byte, which is nearly always the first one.
bool file_has_text(const std::string& path) {
  fs::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw_errno("open", path);
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw_errno("read", path);
    if (n == 0) return false;
    for (ssize_t i = 0; i < n; ++i)
      if (!ascii_space(static_cast<unsigned char>(buf[i]))) return true;
  }
}

// Standard output into the slot that "> slot" named, replacing whatever the
// tool left under that name (a link is replaced, never written through).
// Returns where the streamed output now is.
std::string capture_stdout(RunCall& call, const RunPlan& plan, Executed& run) {
  if (!call.capture_slot) return plan.stdout_file;
  std::string target = core::join(plan.sandbox, py::fs_encode(bytes_text(*call.capture_slot)));
  if (run.streamed) {
    if (run.out_bytes == 0) return plan.stdout_file;
    nb::gil_scoped_release nogil;
    if (::rename(plan.stdout_file.c_str(), target.c_str()) != 0)
      throw OsError(errno, "rename", plan.stdout_file, target);
    return target;
  }
  nb::object out = run.proc.attr("stdout");
  if (py::truthy(out)) {
    nb::bytes data = stdout_bytes(out);
    nb::gil_scoped_release nogil;
    core::write_replacing(target, view(data));
  }
  return plan.stdout_file;
}

bool stdout_has_text(const Executed& run, const std::string& stdout_at) {
  nb::object out = run.proc.attr("stdout");
  if (!run.streamed) return py::truthy(out) && py::truthy(out.attr("strip")());
  if (run.out_bytes == 0) return false;
  // Small enough to be held whole: the text decides, as str.strip() would.
  if (run.out_bytes <= 2 * kCaptureBound) return py::truthy(out.attr("strip")());
  nb::gil_scoped_release nogil;
  return file_has_text(stdout_at);
}

// Nothing delivered but something printed: the output becomes
// output/stdout/<tool>_stdout.txt, published whole.
nb::str stdout_fallback(const RunPlan& plan, Executed& run, const std::string& stdout_at) {
  std::string dir = core::join(plan.output, "stdout");
  std::string file = core::join(dir, plan.tool + "_stdout.txt");
  if (run.streamed) {
    nb::gil_scoped_release nogil;
    fs::ensure_real_dir(dir);
    fs::publish_move(stdout_at, file);
  } else {
    nb::bytes data = stdout_bytes(run.proc.attr("stdout"));
    nb::gil_scoped_release nogil;
    fs::ensure_real_dir(dir);
    fs::ReplaceOptions opts;
    opts.replace_link = true;
    fs::replace_file(file, view(data), opts);
  }
  return py::fs_decode(file);
}

core::HarvestPlan harvest_plan(RunCall& call, const RunPlan& plan, const Executed& run) {
  core::HarvestPlan hp;
  hp.sandbox = plan.sandbox;
  hp.output = plan.output;
  hp.staged_names = call.staged_names;
  hp.own_file = run.own_file;
  std::vector<std::string> names;
  {
    nb::gil_scoped_release nogil;
    names = core::sandbox_names(plan.sandbox);
  }
  // The glob of each file slot is matched with Python's fnmatch.
  nb::list name_list;
  for (const auto& n : names) name_list.append(py::fs_decode(n));
  nb::object fnmatch_filter = mod("fnmatch").attr("filter");
  for (size_t i = 0; i < plan.slots.size(); ++i) {
    core::HarvestSlot hs{plan.slots[i].name, plan.slots[i].is_dir, {}};
    if (!hs.is_dir)
      for (nb::handle m : fnmatch_filter(name_list, call.slot_names[i] + nb::str("*")))
        hs.matches.push_back(py::fs_encode(m));
    hp.slots.push_back(std::move(hs));
  }
  return hp;
}

}  // namespace

nb::dict harvest_outputs(RunCall& call, const RunPlan& plan, Executed& run) {
  std::string stdout_at = capture_stdout(call, plan, run);
  core::HarvestPlan hp = harvest_plan(call, plan, run);
  core::HarvestResult delivered;
  {
    nb::gil_scoped_release nogil;
    delivered = core::harvest(hp);
  }
  nb::dict tool_outputs;
  bool all_empty = true;
  for (size_t i = 0; i < plan.slots.size(); ++i) {
    nb::list paths;
    for (const auto& p : delivered[i]) paths.append(py::fs_decode(p));
    if (!delivered[i].empty()) all_empty = false;
    tool_outputs[call.slot_names[i]] = paths;
  }
  if (all_empty && stdout_has_text(run, stdout_at)) {
    nb::list one;
    one.append(stdout_fallback(plan, run, stdout_at));
    tool_outputs["stdout"] = one;
  }
  nb::dict result;
  for (size_t i = 0; i < plan.slots.size() + (tool_outputs.contains("stdout") ? 1 : 0); ++i) {
    bool is_slot = i < plan.slots.size();
    nb::object slot = is_slot ? call.slot_names[i] : nb::object(nb::str("stdout"));
    nb::object paths = tool_outputs[slot];
    size_t n = nb::len(paths);
    if (n == 0)
      result[slot] = nb::none();
    else if (is_slot && plan.slots[i].is_dir)
      result[slot] = py::fs_decode(core::join(plan.output, plan.slots[i].name));
    else if (n == 1)
      result[slot] = paths[0];
    else
      result[slot] = paths;
  }
  return result;
}

}  // namespace tavro::rivo
