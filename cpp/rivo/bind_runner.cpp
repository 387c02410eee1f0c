// The RIVO constructor, the global-option builder and the command runner
// _run, through which every other operation starts `rivo`.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cmath>
#include <csignal>

#include "common/capture.hpp"
#include "common/process.hpp"
#include "common/text.hpp"
#include "rivo/bundled.hpp"
#include "rivo/core/command.hpp"
#include "rivo/core/executor.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

// Keywords of subprocess.run that the runner handles itself; any other valid
// subprocess.Popen keyword goes through Python's own subprocess.run.
bool natively_handled(nb::handle k) {
  static const char* const names[] = {"input",      "stdin",             "encoding",
                                      "errors",     "universal_newlines", "bufsize",
                                      "close_fds",  "start_new_session", "process_group",
                                      "restore_signals"};
  for (const char* n : names)
    if (PyUnicode_CompareWithASCIIString(k.ptr(), n) == 0) return true;
  return false;
}

// The time limit in seconds, refused with the very error subprocess raises
// for it: its deadline is time + timeout (TypeError for a str, OverflowError
// for a huge int), and NaN or infinity fail when the wait converts it to
// milliseconds. Checked before anything starts.
double time_limit(nb::handle timeout) {
  nb::object end = nb::steal(PyNumber_Add(nb::float_(0.0).ptr(), timeout.ptr()));
  if (!end.is_valid()) throw nb::python_error();
  double seconds = PyFloat_AsDouble(end.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
  if (!std::isfinite(seconds)) {
    nb::steal(PyNumber_Long(end.ptr()));
    throw nb::python_error();
  }
  return seconds;
}

// A file descriptor given as stdin: an int, else what its fileno() returns,
// as subprocess takes it, with Python's errors for anything else.
int stdin_descriptor(nb::handle obj) {
  nb::object fd_obj = PyLong_Check(obj.ptr()) ? nb::borrow(obj) : obj.attr("fileno")();
  int fd = PyObject_AsFileDescriptor(fd_obj.ptr());
  if (fd < 0) throw nb::python_error();
  return fd;
}

// Removes `key` from kw and returns its value; an invalid object when absent.
nb::object take(nb::dict& kw, const char* key) {
  if (!kw.contains(key)) return nb::object();
  nb::object v = kw[key];
  PyDict_DelItemString(kw.ptr(), key);
  return v;
}

nb::object option(const nb::dict& kw, const char* key) { return kw.contains(key) ? nb::object(kw[key]) : nb::none(); }

// How the caller asked for text: `encoding` and `errors` as subprocess takes
// them; without either, UTF-8 read as text mode reads it.
struct TextMode {
  nb::object encoding, errors;
  bool custom() const { return !encoding.is_none() || !errors.is_none(); }

  nb::object decode(const std::string& raw) const {
    if (!custom()) return py::decode_lossless(universal_newlines(raw));
    nb::object text = py::to_bytes(raw).attr("decode")(encoding.is_none() ? nb::str("utf-8") : nb::str(encoding),
                                                       errors.is_none() ? nb::str("surrogateescape") : nb::str(errors));
    return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
  }

  // The text messages quote, in the core's spelling.
  std::string quoted(const std::string& raw) const {
    nb::gil_scoped_acquire gil;
    nb::object text = decode(raw);
    try {
      return py::fs_encode(text);
    } catch (nb::python_error&) {
      return py::fs_encode(text.attr("encode")("utf-8", "backslashreplace").attr("decode")("utf-8"));
    }
  }
};

// Exotic subprocess options (preexec_fn, user, umask, ...) keep working
// exactly as Python's subprocess.run treats them: the command goes through
// it instead of the child-process runner.
class PythonExecutor final : public Executor {
 public:
  PythonExecutor(nb::dict rest, nb::object timeout) : rest_(std::move(rest)), timeout_(std::move(timeout)) {}

  ExecResult run(const ExecRequest& req) override {
    nb::gil_scoped_acquire gil;
    nb::object subprocess = nb::module_::import_("subprocess");
    nb::dict kw;
    for (auto [k, v] : rest_) kw[k] = v;
    // Bytes come back and are decoded by the caller exactly as on the native
    // path, and text input goes in encoded as it does there.
    for (const char* text_key : {"encoding", "errors", "universal_newlines"})
      if (PyDict_DelItemString(kw.ptr(), text_key) != 0) PyErr_Clear();
    if (kw.contains("input") && PyUnicode_Check(nb::object(kw["input"]).ptr())) {
      nb::object enc = option(rest_, "encoding");
      kw["input"] = nb::object(kw["input"]).attr("encode")(enc.is_none() ? nb::str("utf-8") : nb::str(enc));
    }
    kw["cwd"] = req.cwd ? nb::object(py::fs_decode(*req.cwd)) : nb::none();
    nb::dict env;
    if (req.env)
      for (const auto& [k, v] : *req.env) env[py::fs_decode(k)] = py::fs_decode(v);
    kw["env"] = env;
    kw["timeout"] = timeout_;
    kw["capture_output"] = true;
    // As on the native path, rivo ends when the host dies: armed in the
    // child before the caller's own preexec_fn, and a parent already gone
    // by then counts as dead.
    nb::object user_preexec = kw.contains("preexec_fn") ? nb::object(kw["preexec_fn"]) : nb::none();
    const pid_t parent = ::getpid();
    kw["preexec_fn"] = nb::cpp_function([user_preexec, parent]() {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::kill(::getpid(), SIGTERM);
      if (!user_preexec.is_none()) user_preexec();
    });
    try {
      nb::object cp = subprocess.attr("run")(str_list(req.argv), **kw);
      auto raw = [](nb::handle b) {
        char* data;
        Py_ssize_t len;
        if (PyBytes_AsStringAndSize(b.ptr(), &data, &len) != 0) throw nb::python_error();
        return std::string(data, static_cast<size_t>(len));
      };
      ExecResult r;
      r.status = nb::cast<int>(cp.attr("returncode"));
      r.out = raw(cp.attr("stdout"));
      r.err = capture::bounded_view(raw(cp.attr("stderr")), kCaptureBound);
      r.out_bytes = r.out.size();
      return r;
    } catch (nb::python_error& e) {
      if (!e.matches(subprocess.attr("TimeoutExpired"))) throw;
      throw proc::TimedOut(req.argv, req.timeout.value_or(0), {}, {});
    }
  }

 private:
  nb::dict rest_;
  nb::object timeout_;
};

// The remaining subprocess keywords (all but cwd) into `rest`. True when one
// of them needs Python's own subprocess.run.
bool collect_options(const nb::dict& kw, nb::dict& rest) {
  if (kw.contains("stdout") || kw.contains("stderr")) {
    py::raise(PyExc_ValueError, "stdout and stderr arguments may not be used with capture_output.");
  }
  bool exotic = false;
  for (auto [k, v] : kw) {
    if (nb::str(k).equal(nb::str("cwd"))) continue;
    rest[k] = v;
    if (!natively_handled(k)) exotic = true;
  }
  if (exotic) {
    // Same TypeError as subprocess.run for a keyword Popen does not take;
    // `input` is run()'s own.
    nb::dict popen_kw = nb::borrow<nb::dict>(rest.attr("copy")());
    if (PyDict_DelItemString(popen_kw.ptr(), "input") != 0) PyErr_Clear();
    nb::object inspect = nb::module_::import_("inspect");
    inspect.attr("signature")(py::module_attr("subprocess", "Popen")).attr("bind")(nb::list(), **popen_kw);
  }
  return exotic;
}

// input= and stdin= for the child-process runner, with subprocess's errors.
// Returns a descriptor to close afterwards (an opened /dev/null) or -1.
int standard_input(const nb::dict& rest, const TextMode& mode, RivoCommand& cmd) {
  nb::object input = option(rest, "input");
  nb::object stdin_ = option(rest, "stdin");
  if (!input.is_none() && !stdin_.is_none())
    py::raise(PyExc_ValueError, "stdin and input arguments may not both be used.");
  if (!input.is_none()) {
    nb::object data = input;
    if (PyUnicode_Check(input.ptr()))
      data = input.attr("encode")(mode.encoding.is_none() ? nb::str("utf-8") : nb::str(mode.encoding));
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    cmd.input = std::string(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return -1;
  }
  if (stdin_.is_none()) return -1;
  nb::object subprocess = nb::module_::import_("subprocess");
  if (stdin_.equal(subprocess.attr("PIPE"))) {
    cmd.input = std::string();
    return -1;
  }
  if (stdin_.equal(subprocess.attr("DEVNULL"))) {
    int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0) throw OsError(errno, "open", "/dev/null");
    cmd.stdin_fd = devnull;
    return devnull;
  }
  cmd.stdin_fd = stdin_descriptor(stdin_);
  return -1;
}

// The caller's mapping takes the settings the child got (it is "the"
// environment of the child, filled in).
void fill_in(nb::handle mapping, const Env& env) {
  static const char* const keys[] = {"RIVO_REGISTRY", "APPTAINER_CACHEDIR", "SINGULARITY_CACHEDIR",
                                     "APPTAINER_NO_USERNS", "APPTAINER_ROOTLESS"};
  for (const auto& [k, v] : env)
    for (const char* key : keys)
      if (k == key) mapping[py::fs_decode(k)] = py::fs_decode(v);
}

nb::object rivo_run(nb::handle self, nb::handle cmd, nb::kwargs kwargs) {
  py::require_list(cmd, "cmd");
  nb::dict kw;
  for (auto [k, v] : kwargs) kw[k] = v;
  for (const char* k : {"check", "capture_output", "text"}) take(kw, k);

  RivoCommand c;
  c.args = py::to_argv(cmd);
  if (kw.contains("cwd")) c.cwd = py::fs_encode(nb::object(kw["cwd"]));
  nb::object env = take(kw, "env");
  if (!env.is_valid() || env.is_none()) env = py::new_dict(nb::module_::import_("os").attr("environ"));
  c.env = py::to_env_pairs(env);
  c.program = rivo_program(env);
  c.registry = registry_of(self);
  c.volume = py::fs_encode(environ_get("PIPELINE_VOLUME_PATH"));
  c.temp_dir = temp_dir();
  nb::object timeout = take(kw, "timeout");
  if (timeout.is_valid()) {
    // A bad limit raises subprocess's own error before anything starts.
    c.limit_given = true;
    if (!timeout.is_none()) c.timeout = time_limit(timeout);
    c.timeout_text = py::fs_encode(nb::str(timeout));
  } else {
    timeout = nb::int_(static_cast<long>(default_timeout(c.args)));
  }
  nb::dict rest;
  const bool exotic = collect_options(kw, rest);
  const TextMode mode{option(rest, "encoding"), option(rest, "errors")};
  if (mode.custom()) c.as_text = [&mode](const std::string& raw) { return mode.quoted(raw); };
  struct CloseFd {
    int fd = -1;
    ~CloseFd() {
      if (fd >= 0) ::close(fd);
    }
  } devnull;
  if (!exotic) devnull.fd = standard_input(rest, mode, c);

  PyLog log;
  LocalExecutor local;
  PythonExecutor python(rest, timeout);
  Executor& executor = exotic ? static_cast<Executor&>(python) : local;
  CommandOutput out;
  try {
    out = py::without_gil([&](const std::function<bool()>& abort) {
      c.should_abort = abort;
      return run_rivo(executor, c, log);
    });
  } catch (...) {
    fill_in(env, c.env);
    throw;
  }
  fill_in(env, c.env);
  nb::list args;
  args.append("rivo");
  for (nb::handle a : cmd) args.append(a);
  return py::module_attr("subprocess", "CompletedProcess")(args, out.status, mode.decode(out.out), mode.decode(out.err));
}

nb::list base_args(nb::handle self) {
  nb::list out;
  nb::object backend = self.attr("backend");
  nb::object registry = self.attr("registry");
  append_option(out, "--backend", backend);
  append_option(out, "--registry", registry);
  return out;
}

void init(RIVO* t, nb::handle backend, nb::handle registry, nb::handle executor, nb::handle partition,
          nb::handle account, nb::handle srun_args, nb::handle run_cache) {
  py::require_str(backend, "backend", true);
  py::require_str(registry, "registry", true);
  py::require_str(run_cache, "run_cache", true);
  new (t) RIVO();
  nb::handle self = nb::find(t);
  self.attr("backend") = backend;
  self.attr("registry") = registry;
  self.attr("_session_tools") = nb::list();
  nb::str vol = environ_get("PIPELINE_VOLUME_PATH");
  nb::object join = nb::module_::import_("os").attr("path").attr("join");
  self.attr("_rivo_home") = !nb::len(vol) ? nb::str("") : nb::str(join(vol, ".rivo_home"));
  self.attr("_image_cache") = !nb::len(vol) ? nb::str("") : nb::str(join(vol, ".image_cache"));
  init_executor(self, executor, partition, account, srun_args);
  // The run cache: the argument, else TAVRO_RUN_CACHE; off when neither names one.
  nb::object cache = nb::borrow(run_cache);
  if (cache.is_none() || !nb::len(cache)) cache = environ_get("TAVRO_RUN_CACHE");
  self.attr("_run_cache") =
      nb::len(cache) ? nb::object(nb::module_::import_("os").attr("path").attr("abspath")(cache)) : nb::none();
}

}  // namespace

void bind_runner(nb::module_& m, Class& cls) {
  m.def(
      "_default_llm", []() { return py::module_attr("tavro.helpers.oraclet", "default_llm")(); },
      "Build the default LLM client (imported from tavro.helpers.oraclet at call time).");
  cls.def("__init__", &init, nb::arg("backend").none() = nb::none(), nb::arg("registry").none() = nb::none(),
          nb::kw_only(), nb::arg("executor").none() = nb::none(), nb::arg("slurm_partition").none() = nb::none(),
          nb::arg("slurm_account").none() = nb::none(), nb::arg("slurm_args").none() = nb::none(),
          nb::arg("run_cache").none() = nb::none(),
          nb::sig("def __init__(self, backend: str | None = None, registry: str | None = None, *, "
                  "executor: str | None = None, slurm_partition: str | None = None, "
                  "slurm_account: str | None = None, slurm_args: list[str] | None = None, "
                  "run_cache: str | None = None) -> None"));
  cls.def("_base_args", &base_args, nb::sig("def _base_args(self) -> list[str]"),
          "Global options (--backend, --registry) for a rivo command line.");
  cls.def("_run", &rivo_run, nb::arg("cmd").none(), nb::arg("kwargs"),
          nb::sig("def _run(self, cmd: list[str], **kwargs) -> subprocess.CompletedProcess"),
          "Run `rivo` with the arguments in cmd and return the completed process.");
}

}  // namespace tavro::rivo
