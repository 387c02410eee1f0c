// The RIVO constructor, the global-option builder and the command runner
// through which every other operation starts `rivo`.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <csignal>

#include "common/capture.hpp"
#include "common/errors.hpp"
#include "common/fileops.hpp"
#include "common/text.hpp"
#include "rivo/bundled.hpp"
#include "rivo/rivo.hpp"
#include "rivo/slurm_glue.hpp"

namespace tavro::rivo {
namespace {

using py::DEBUG;
using py::WARNING;

nb::object os_mod() { return nb::module_::import_("os"); }


nb::object makedirs(nb::handle path) {
  return os_mod().attr("makedirs")(path, nb::arg("exist_ok") = true);
}

nb::str cmd_text(nb::handle cmd) { return nb::borrow<nb::str>(nb::str(" ").attr("join")(cmd)); }

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

// Output as text mode gives it: decoded, with universal newlines ("\r\n"
// and a lone "\r" read as "\n"). Files written from stdout use the raw bytes.
nb::object decode(std::string raw, nb::handle encoding, nb::handle errors) {
  if (encoding.is_none() && errors.is_none()) {
    return py::decode_lossless(universal_newlines(std::move(raw)));
  }
  nb::bytes b = py::to_bytes(raw);
  nb::object text = b.attr("decode")(encoding.is_none() ? nb::str("utf-8") : nb::borrow<nb::str>(encoding),
                                     errors.is_none() ? nb::str("surrogateescape")
                                                      : nb::borrow<nb::str>(errors));
  return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
}

struct Outcome {
  int returncode;
  nb::object out, err;
  nb::object out_in_error;  // stdout as an error message quotes it (bounded)
};

// Text of stdout for error messages: a bounded view of the raw bytes.
nb::object error_view(const std::string& raw, const nb::object& full, nb::handle encoding,
                      nb::handle errors) {
  if (raw.size() <= 2 * kCaptureBound) return full;
  return decode(capture::bounded_view(raw, kCaptureBound), encoding, errors);
}

// Runs with the C++ launcher: own process group, descriptors closed, the GIL
// released, the whole group ended at the time limit.
Outcome launch_native(const std::vector<std::string>& argv, nb::handle cwd, nb::handle env,
                      nb::handle timeout, nb::dict& rest, bool& timed_out, StdoutStream* stream) {
  proc::SpawnOptions o;
  o.argv = argv;
  o.parent_death_signal = SIGTERM;  // rivo ends its tool when the host dies
  o.capture_bound = kCaptureBound;
  if (stream) o.stdout_fd = stream->fd;
  if (!cwd.is_none()) o.cwd = py::fs_encode(cwd);
  o.env = py::to_envp(env);
  if (!timeout.is_none()) o.timeout = time_limit(timeout);

  nb::object encoding = rest.contains("encoding") ? nb::object(rest["encoding"]) : nb::none();
  nb::object errors = rest.contains("errors") ? nb::object(rest["errors"]) : nb::none();
  nb::object input = rest.contains("input") ? nb::object(rest["input"]) : nb::none();
  nb::object stdin_ = rest.contains("stdin") ? nb::object(rest["stdin"]) : nb::none();
  if (!input.is_none() && !stdin_.is_none()) {
    py::raise(PyExc_ValueError, "stdin and input arguments may not both be used.");
  }
  int devnull = -1;
  if (!input.is_none()) {
    nb::object data = input;
    if (PyUnicode_Check(input.ptr()))
      data = input.attr("encode")(encoding.is_none() ? nb::str("utf-8") : nb::str(encoding));
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    o.input = std::string(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
  } else if (!stdin_.is_none()) {
    nb::object subprocess = nb::module_::import_("subprocess");
    if (stdin_.equal(subprocess.attr("PIPE"))) {
      o.input = std::string();
    } else if (stdin_.equal(subprocess.attr("DEVNULL"))) {
      devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (devnull < 0) py::raise_os_error(errno, "/dev/null");
      o.stdin_fd = devnull;
    } else {
      o.stdin_fd = stdin_descriptor(stdin_);
    }
  }
  struct CloseFd {
    int fd;
    ~CloseFd() {
      if (fd >= 0) ::close(fd);
    }
  } guard{devnull};

  try {
    proc::Result r = py::run_process(std::move(o));
    if (stream) stream->bytes = r.out_bytes;
    nb::object out = decode(r.out, encoding, errors);
    nb::object out_in_error = stream ? out : error_view(r.out, out, encoding, errors);
    return {r.returncode, out, decode(r.err, encoding, errors), out_in_error};
  } catch (const proc::TimedOut&) {
    timed_out = true;
    return {0, nb::none(), nb::none(), nb::none()};
  }
}

// Exotic subprocess options (preexec_fn, user, umask, ...) keep working
// exactly as Python's subprocess.run treats them.
Outcome launch_python(const std::vector<std::string>& argv, nb::handle cwd, nb::handle env,
                      nb::handle timeout, nb::dict& rest, bool& timed_out) {
  nb::object subprocess = nb::module_::import_("subprocess");
  nb::list args;
  for (const auto& a : argv) args.append(py::fs_decode(a));
  nb::dict kw;
  for (auto [k, v] : rest) kw[k] = v;
  kw["cwd"] = cwd;
  kw["env"] = env;
  kw["timeout"] = timeout;
  kw["capture_output"] = true;
  nb::object encoding = rest.contains("encoding") ? nb::object(rest["encoding"]) : nb::none();
  nb::object errors = rest.contains("errors") ? nb::object(rest["errors"]) : nb::none();
  // Bytes come back and are decoded here exactly as on the native path, and
  // text input goes in encoded as it does there.
  for (const char* text_key : {"encoding", "errors", "universal_newlines"}) {
    if (PyDict_DelItemString(kw.ptr(), text_key) != 0) PyErr_Clear();
  }
  if (kw.contains("input") && PyUnicode_Check(nb::object(kw["input"]).ptr()))
    kw["input"] = nb::object(kw["input"]).attr("encode")(encoding.is_none() ? nb::str("utf-8") : nb::str(encoding));
  try {
    nb::object cp = subprocess.attr("run")(args, **kw);
    auto raw = [](nb::handle b) {
      char* data;
      Py_ssize_t len;
      if (PyBytes_AsStringAndSize(b.ptr(), &data, &len) != 0) throw nb::python_error();
      return std::string(data, static_cast<size_t>(len));
    };
    std::string out_raw = raw(cp.attr("stdout"));
    nb::object out = decode(out_raw, encoding, errors);
    nb::object err = decode(capture::bounded_view(raw(cp.attr("stderr")), kCaptureBound), encoding, errors);
    return {nb::cast<int>(cp.attr("returncode")), out, err, error_view(out_raw, out, encoding, errors)};
  } catch (nb::python_error& e) {
    if (!e.matches(subprocess.attr("TimeoutExpired"))) throw;
    timed_out = true;
    return {0, nb::none(), nb::none(), nb::none()};
  }
}

// Removes `key` from kw and returns its value; an invalid object when absent.
nb::object take(nb::dict& kw, const char* key) {
  if (!kw.contains(key)) return nb::object();
  nb::object v = kw[key];
  PyDict_DelItemString(kw.ptr(), key);
  return v;
}

// A working directory made for one command; removed when the command ends.
struct TempProject {
  std::string path;
  ~TempProject() {
    if (!path.empty()) fs::remove_tree_ignore_errors(path);
  }
};

// The working directory when the caller gives none: .rivo_home on the
// pipeline volume, else a fresh temporary folder (recorded in `temp` so that
// it goes when the command ends).
nb::object default_cwd(nb::handle os, TempProject& temp) {
  nb::str vol = environ_get("PIPELINE_VOLUME_PATH");
  nb::object wd = nb::len(vol) ? os.attr("path").attr("join")(vol, ".rivo_home")
                               : nb::module_::import_("tempfile").attr("mkdtemp")(
                                     nb::arg("prefix") = "rivo_");
  makedirs(wd);
  if (!nb::len(vol)) temp.path = py::fs_encode(wd);
  return wd;
}

// The child's environment: the caller's (else a copy of os.environ) with the
// registry and the container runtime's settings added.
nb::object run_env(nb::handle self, nb::object env, nb::handle os) {
  if (!env.is_valid() || env.is_none()) env = py::new_dict(os.attr("environ"));
  if (!py::contains(env, "RIVO_REGISTRY")) {
    nb::object registry = self.attr("registry");
    env["RIVO_REGISTRY"] = py::truthy(registry) ? registry : rivo_attr("DEFAULT_REGISTRY");
  }
  nb::str vol = environ_get("PIPELINE_VOLUME_PATH");
  if (nb::len(vol)) {
    nb::object cache = vol + nb::str("/.apptainer_cache");
    makedirs(cache);
    env["APPTAINER_CACHEDIR"] = cache;
    env["SINGULARITY_CACHEDIR"] = cache;
  }
  env["APPTAINER_NO_USERNS"] = "1";
  env["APPTAINER_ROOTLESS"] = "1";
  return env;
}

// The caller's time limit, else 30 minutes for the pulling commands (add,
// sync) and an hour for the others.
nb::object run_timeout(nb::handle cmd, nb::object timeout) {
  if (timeout.is_valid()) return timeout;
  bool pull = false;
  if (nb::len(cmd) > 0) {
    nb::object first = cmd[0];
    pull = first.equal(nb::str("add")) || first.equal(nb::str("sync"));
  }
  return nb::int_(pull ? 1800 : 3600);
}

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
    inspect.attr("signature")(py::module_attr("subprocess", "Popen"))
        .attr("bind")(nb::list(), **popen_kw);
  }
  return exotic;
}

// RuntimeError for a command that ran out of time or failed; its standard
// error is logged either way.
void check_outcome(nb::handle cmd, nb::handle timeout, const Outcome& res, bool timed_out) {
  if (timed_out) {
    nb::str text = nb::str("rivo {} timed out after {}s \u2014 image pull may have stalled")
                       .format(cmd_text(cmd), nb::str(timeout));
    py::raise(PyExc_RuntimeError, text);
  }
  if (py::truthy(res.err)) py::log(kModule, WARNING, "stderr: %s", res.err.attr("rstrip")());
  if (res.returncode != 0) {
    nb::str text = nb::str("rivo {} failed (exit {}):\nSTDOUT: {}\nSTDERR: {}")
                       .format(cmd_text(cmd), res.returncode, res.out_in_error, res.err);
    if (auto limit = core::oom_limit(py::text_bytes(res.err)))
      text = nb::borrow<nb::str>(text + nb::str("\n") + py::bytes_text(core::oom_note(*limit)));
    py::raise(PyExc_RuntimeError, text);
  }
}

nb::object run_command(nb::handle self, nb::handle cmd, nb::kwargs kwargs, StdoutStream* stream) {
  py::require_list(cmd, "cmd");
  TempProject temp_project;
  nb::dict kw;
  for (auto [k, v] : kwargs) kw[k] = v;
  for (const char* k : {"check", "capture_output", "text"}) take(kw, k);
  nb::object os = os_mod();

  if (!kw.contains("cwd")) kw["cwd"] = default_cwd(os, temp_project);
  nb::object cwd = kw["cwd"];
  py::log(kModule, DEBUG, "run cwd=%s cmd=%s", cwd, cmd);

  nb::object env = run_env(self, take(kw, "env"), os);
  nb::object timeout = run_timeout(cmd, take(kw, "timeout"));
  // A bad limit raises subprocess's own error before anything starts.
  if (!timeout.is_none()) time_limit(timeout);
  nb::dict rest;
  bool exotic = collect_options(kw, rest);

  nb::list args;
  args.append("rivo");
  for (nb::handle c : cmd) args.append(c);
  std::vector<std::string> argv = py::to_argv(args);
  argv[0] = rivo_program(env);

  bool timed_out = false;
  Outcome res = exotic ? launch_python(argv, cwd, env, timeout, rest, timed_out)
                       : launch_native(argv, cwd, env, timeout, rest, timed_out, stream);
  check_outcome(cmd, timeout, res, timed_out);
  return py::module_attr("subprocess", "CompletedProcess")(args, res.returncode, res.out, res.err);
}

nb::object rivo_run(nb::handle self, nb::handle cmd, nb::kwargs kwargs) {
  return run_command(self, cmd, kwargs, nullptr);
}

nb::list base_args(nb::handle self) {
  nb::list out;
  nb::object backend = self.attr("backend");
  if (py::truthy(backend)) {
    out.append("--backend");
    out.append(backend);
  }
  nb::object registry = self.attr("registry");
  if (py::truthy(registry)) {
    out.append("--registry");
    out.append(registry);
  }
  return out;
}

}  // namespace

nb::object run_streamed(nb::handle self, nb::handle cmd, nb::handle cwd, nb::handle env,
                        StdoutStream& stream, nb::handle timeout) {
  nb::kwargs kw;
  kw["cwd"] = cwd;
  kw["env"] = env;
  if (timeout.is_valid()) kw["timeout"] = timeout;
  return run_command(self, cmd, kw, &stream);
}

bool runs_own_run(nb::handle self) {
  nb::object bound = nb::getattr(self, "_run", nb::none());
  nb::object func = nb::getattr(bound, "__func__", nb::none());
  nb::object own = nb::type<RIVO>().attr("__dict__").attr("get")("_run");
  return !func.is_none() && func.is(own) && nb::getattr(bound, "__self__", nb::none()).is(self);
}

nb::str environ_get(const char* name) {
  return nb::str(nb::module_::import_("os").attr("environ").attr("get")(name, ""));
}

void bind_runner(nb::module_& m, Class& cls) {
  m.def(
      "_default_llm",
      []() { return py::module_attr("tavro.helpers.oraclet", "default_llm")(); },
      "Build the default LLM client (imported from tavro.helpers.oraclet at call time).");

  cls.def(
      "__init__",
      [](RIVO* t, nb::handle backend, nb::handle registry, nb::handle executor, nb::handle partition,
         nb::handle account, nb::handle srun_args) {
        py::require_str(backend, "backend", true);
        py::require_str(registry, "registry", true);
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
      },
      nb::arg("backend").none() = nb::none(), nb::arg("registry").none() = nb::none(), nb::kw_only(),
      nb::arg("executor").none() = nb::none(), nb::arg("slurm_partition").none() = nb::none(),
      nb::arg("slurm_account").none() = nb::none(), nb::arg("slurm_args").none() = nb::none(),
      nb::sig("def __init__(self, backend: str | None = None, registry: str | None = None, *, "
              "executor: str | None = None, slurm_partition: str | None = None, "
              "slurm_account: str | None = None, slurm_args: list[str] | None = None) -> None"));

  cls.def("_base_args", &base_args, nb::sig("def _base_args(self) -> list[str]"),
          "Global options (--backend, --registry) for a rivo command line.");

  cls.def("_run", &rivo_run, nb::arg("cmd").none(), nb::arg("kwargs"),
          nb::sig("def _run(self, cmd: list[str], **kwargs) -> subprocess.CompletedProcess"),
          "Run `rivo` with the arguments in cmd and return the completed process.");
}

}  // namespace tavro::rivo
