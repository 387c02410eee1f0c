// RIVO.run: the Python arguments made into a RunPlan once, the core run
// with the overridable methods as hooks, and the result made into a dict
// once. Python objects cross only here: the manifest and the tool name as
// given (for _infer_args and _fix_stale_abs_paths), and the staged dict and
// the environment mapping, built when a Python method first needs them.
#include <optional>

#include "rivo/bundled.hpp"
#include "rivo/core/cached_run.hpp"
#include "rivo/core/command.hpp"
#include "rivo/core/executor.hpp"
#include "rivo/core/executor_slurm.hpp"
#include "rivo/core/run.hpp"
#include "rivo/rivo.hpp"

namespace tavro::rivo {
namespace {

// The Python objects a plan was made from, beside it.
struct PlanSource {
  nb::handle self, tool_name, manifest;
  std::vector<nb::object> input_keys;   // per plan.inputs
  std::vector<nb::object> output_keys;  // per plan.outputs
};

std::optional<std::string> fs_path(nb::handle s) { return py::fs_path_or_none(s); }

// A manifest value that must be a mapping: a clear error naming it otherwise.
void require_mapping(nb::handle value, nb::handle what) {
  if (PyDict_Check(value.ptr()) || py::is_instance(value, py::module_attr("collections.abc", "Mapping"))) return;
  nb::object type_name = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr()))).attr("__name__");
  py::raise(PyExc_TypeError, nb::str("The manifest's {} must be a dict, not {}").format(what, type_name));
}

void plan_outputs(nb::handle manifest, RunPlan& plan, PlanSource& src) {
  if (!py::contains(manifest, "outputs")) return;
  nb::object specs = manifest["outputs"];
  require_mapping(specs, nb::str("'outputs'"));
  nb::object items = specs.attr("items")();
  for (nb::handle item : items) {
    nb::object slot = item[0];
    nb::object spec = item[1];
    if (PyUnicode_Check(slot.ptr())) {
      nb::str what = nb::str("'outputs' entry {!r}").format(slot);
      require_mapping(spec, what);
    }
    if (!PyUnicode_Check(slot.ptr()))
      py::raise(PyExc_ValueError,
                bad_name_message("output slot name", nb::repr(slot),
                                 "it must be a single path component (not empty, '.' or '..', and without '/' or NUL)"));
    nb::object type = spec.attr("get")("type");
    plan.outputs.push_back({py::fs_encode(slot), type.equal(nb::str("dir"))});
    src.output_keys.push_back(slot);
  }
}

void plan_inputs(nb::handle inputs, RunPlan& plan, PlanSource& src) {
  nb::str output_dir("output_dir");
  for (auto [key, value] : nb::borrow<nb::dict>(inputs)) {
    if (key.equal(output_dir)) continue;
    InputSlot in;
    PyObject* v = value.ptr();
    if (PyUnicode_Check(v)) {
      in.kind = InputSlot::Kind::Text;
      in.text = py::fs_encode(value);
      if (auto p = fs_path(value)) in.sources.push_back(*p);
    } else if (PyList_Check(v)) {
      in.kind = InputSlot::Kind::List;
      for (nb::handle el : value)
        if (PyUnicode_Check(el.ptr()))
          if (auto p = fs_path(el)) in.sources.push_back(*p);
    } else if (PyLong_Check(v) || PyFloat_Check(v)) {
      in.kind = InputSlot::Kind::Scalar;
      in.text = py::fs_encode(nb::str(value));
    }
    // Names are placeholders "{" + key + "}": a key that is no str fails as
    // that concatenation would.
    if (!PyUnicode_Check(key.ptr())) {
      if (in.kind == InputSlot::Kind::Ignored) continue;
      nb::object probe = nb::str("{") + key;
      in.slot = py::fs_encode(probe);  // not reached for keys str cannot take
    } else {
      in.slot = py::fs_encode(key);
    }
    plan.inputs.push_back(std::move(in));
    src.input_keys.push_back(nb::borrow(key));
  }
}

RunPlan make_plan(nb::handle tool_name, nb::handle manifest, nb::handle inputs, nb::handle output_dir,
                  PlanSource& src) {
  RunPlan plan;
  plan.tool = py::fs_encode(tool_name);
  plan_outputs(manifest, plan, src);
  nb::object tmpl = manifest.attr("get")("args_template");
  if (py::truthy(tmpl)) {
    if (!PyUnicode_Check(tmpl.ptr()))
      {
      nb::object type_name = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(tmpl.ptr()))).attr("__name__");
      py::raise(PyExc_TypeError, nb::str("The manifest's 'args_template' must be a str, not {}").format(type_name));
    }
    plan.args_template = py::fs_encode(tmpl);
  }
  nb::object entrypoint = manifest.attr("get")("entrypoint");
  plan.entrypoint = py::truthy(entrypoint) ? py::fs_encode(entrypoint) : plan.tool;
  nb::object image = manifest.attr("get")("image");
  if (PyUnicode_Check(image.ptr())) plan.image = py::fs_encode(image);
  plan_inputs(inputs, plan, src);
  nb::object pathlib_path = py::module_attr("pathlib", "Path");
  nb::object out = py::module_attr("os", "fspath")(pathlib_path(output_dir));
  plan.output_dir = py::fs_encode(out);
  if (plan.output_dir == ".") plan.output_dir.clear();
  plan.temp_dir = temp_dir();
  plan.volume = py::fs_encode(environ_get("PIPELINE_VOLUME_PATH"));
  plan.env = py::to_env_pairs(nb::module_::import_("os").attr("environ"));
  return plan;
}

nb::dict result_dict(const RunResult& result, const RunPlan& plan, const PlanSource& src) {
  nb::dict out;
  for (const ResultEntry& e : result) {
    nb::object key = nb::str("stdout");
    for (size_t i = 0; i < plan.outputs.size(); ++i)
      if (plan.outputs[i].name == e.key) key = src.output_keys[i];
    if (e.kind == ResultEntry::Kind::None)
      out[key] = nb::none();
    else if (e.kind == ResultEntry::Kind::Path)
      out[key] = py::fs_decode(e.paths[0]);
    else
      out[key] = str_list(e.paths);
  }
  return out;
}

// Where the tool runs and what it declared it needs.
struct RunSettings {
  std::optional<Resources> declared;  // the manifest's "resources"
  bool slurm = false;                 // RIVO(executor="slurm")
  slurm::Options slurm_options;
};

// The overridable methods of RIVO, for the core.
class PyRunHooks final : public RunHooks {
 public:
  PyRunHooks(const PlanSource& src, const RunPlan& plan, RunSettings settings)
      : src_(src),
        plan_(plan),
        env_(plan.env),
        own_run_(runs_own_run(src.self)),
        registry_(registry_of(src.self)),
        settings_(std::move(settings)) {
    if (auto root = run_cache_of(src.self)) cache_ = std::make_unique<CachedRun>(*root);
  }

  std::function<bool()> abort;

  std::optional<RunResult> lookup(const RunPlan& plan) override {
    if (!cache_) return std::nullopt;
    CacheContext ctx;
    {
      nb::gil_scoped_acquire gil;
      ctx = run_cache_context(src_.self, plan);
    }
    return cache_->lookup(plan, ctx, log_, abort);
  }

  void commit(const RunPlan& plan, const Staged& staged, const RunResult& result,
              const Published& published) override {
    if (cache_) cache_->completed(plan, staged, result, published, outcome_, log_, abort);
  }

  // The run raised: its record, when the run had got past the lookup.
  void failed(const std::string& error) {
    if (!cache_) return;
    nb::gil_scoped_release nogil;
    cache_->failed(error, outcome_, log_);
  }

  Executed execute(const RunPlan& plan, const Sandbox& sb, const std::vector<std::string>& args, int stdout_fd,
                   const CommandFailed* handling) override {
    outcome_.args = {"exec", plan.entrypoint};
    outcome_.args.insert(outcome_.args.end(), args.begin(), args.end());
    outcome_.recovery = handling ? recovery_ : std::string();
    if (own_run_) return execute_native(plan, sb, args, stdout_fd);
    nb::gil_scoped_acquire gil;
    nb::list cmd;
    cmd.append("exec");
    cmd.append(py::fs_decode(plan.entrypoint));
    for (const auto& a : args) cmd.append(py::fs_decode(a));
    nb::object cwd = py::fs_decode(sb.path);
    nb::object env = env_dict();
    nb::object run = src_.self.attr("_run");
    nb::object proc;
    try {
      std::optional<Handling> h;
      if (handling) h.emplace(failure_object(*handling));
      if (const Resources* r = declared_time())
        proc = run(cmd, nb::arg("cwd") = cwd, nb::arg("env") = env,
                   nb::arg("timeout") = nb::int_(static_cast<long long>(r->time_seconds)));
      else
        proc = run(cmd, nb::arg("cwd") = cwd, nb::arg("env") = env);
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_RuntimeError)) throw;
      nb::object text = nb::str(e.value());
      throw CommandFailed(py::text_bytes(text), std::current_exception());
    }
    // A replaced _run returns its output as text (or bytes); it is written
    // out as the run's standard output.
    Executed run_out;
    nb::object stdout_ = proc.attr("stdout");
    if (!stdout_.is_none()) {
      run_out.has_out = true;
      nb::object data = PyBytes_Check(stdout_.ptr()) ? stdout_ : stdout_.attr("encode")("utf-8", "surrogateescape");
      run_out.out.assign(PyBytes_AsString(data.ptr()), static_cast<size_t>(PyBytes_Size(data.ptr())));
    }
    return run_out;
  }

  std::optional<std::vector<std::string>> fix_stale_abs_paths(const std::vector<std::string>& args,
                                                              const CommandFailed& handling) override {
    nb::gil_scoped_acquire gil;
    nb::object exc = failure_object(handling);
    nb::list arg_list = str_list(args);
    nb::object env = env_dict();
    nb::object method = src_.self.attr("_fix_stale_abs_paths");
    Handling h(exc);
    nb::object fixed = method(arg_list, src_.manifest, env);
    recovery_ = "relocated paths";
    if (fixed.is_none()) return std::nullopt;
    return py::to_argv(fixed);
  }

  std::vector<std::string> infer_args(const Staged& staged, const CommandFailed& handling) override {
    nb::gil_scoped_acquire gil;
    nb::object exc = failure_object(handling);
    nb::dict staged_dict = staged_to_dict(staged);
    nb::object method = src_.self.attr("_infer_args");
    Handling h(exc);
    nb::object inferred = method(src_.tool_name, src_.manifest, staged_dict);
    recovery_ = "LLM-written arguments";
    return py::to_argv(inferred);
  }

  Log& log() override { return log_; }

 private:
  Executed execute_native(const RunPlan& plan, const Sandbox& sb, const std::vector<std::string>& args,
                          int stdout_fd) {
    RivoCommand cmd;
    cmd.args.reserve(args.size() + 2);
    cmd.args.push_back("exec");
    cmd.args.push_back(plan.entrypoint);
    cmd.args.insert(cmd.args.end(), args.begin(), args.end());
    cmd.cwd = sb.path;
    cmd.cwd_fd = sb.dir_fd;
    if (env_obj_.is_valid()) {
      // A Python method has the environment mapping (and may have changed it).
      nb::gil_scoped_acquire gil;
      env_ = py::to_env_pairs(env_obj_);
    }
    {
      nb::gil_scoped_acquire gil;
      cmd.program = rivo_program(env_);
    }
    cmd.env = env_;
    cmd.registry = registry_;
    cmd.volume = plan.volume;
    cmd.temp_dir = plan.temp_dir;
    cmd.stdout_fd = stdout_fd;
    cmd.should_abort = abort;
    std::optional<SlurmExecutor> slurm;
    if (settings_.slurm) {
      if (!job_resources_) {
        nb::gil_scoped_acquire gil;
        job_resources_ = job_resources(src_.self, src_.tool_name, settings_.declared);
      }
      slurm.emplace(SlurmSettings{settings_.slurm_options, *job_resources_, sb.stdout_file}, log_);
    }
    // A declared time is the run's limit instead of the hour; under SLURM
    // also the definition's, and counted from the job's start.
    const Resources* limit = slurm ? (job_resources_->time_seconds ? &*job_resources_ : nullptr) : declared_time();
    if (limit) {
      cmd.limit_given = true;
      cmd.timeout = static_cast<double>(limit->time_seconds);
      cmd.timeout_text = std::to_string(limit->time_seconds);
    }
    Executor& executor = slurm ? static_cast<Executor&>(*slurm) : executor_;
    // _run fills the run's environment in, as the mapping it was given.
    CommandOutput out;
    try {
      out = run_rivo(executor, cmd, log_);
    } catch (...) {
      keep_env(cmd.env);
      throw;
    }
    keep_env(cmd.env);
    Executed run;
    run.streamed = true;
    run.out_bytes = out.out_bytes;
    run.out = std::move(out.out);
    return run;
  }

  void keep_env(const Env& env) {
    env_ = env;
    if (env_obj_.is_valid()) {
      nb::gil_scoped_acquire gil;
      for (const auto& [k, v] : env) env_obj_[py::fs_decode(k)] = py::fs_decode(v);
    }
  }

  const Resources* declared_time() const {
    return settings_.declared && settings_.declared->time_seconds ? &*settings_.declared : nullptr;
  }

  // The run's environment as the mapping the Python methods share.
  nb::object env_dict() {
    if (!env_obj_.is_valid()) {
      nb::dict d;
      for (const auto& [k, v] : env_) d[py::fs_decode(k)] = py::fs_decode(v);
      env_obj_ = d;
    }
    return env_obj_;
  }

  // Input slot -> pathlib.Path, or a list of them for a list input.
  nb::dict staged_to_dict(const Staged& staged) {
    nb::object path = py::module_attr("pathlib", "Path");
    nb::dict out;
    for (const StagedSlot& s : staged) {
      nb::object key;
      for (size_t i = 0; i < plan_.inputs.size(); ++i)
        if (plan_.inputs[i].slot == s.slot) key = src_.input_keys[i];
      if (!key.is_valid()) key = py::fs_decode(s.slot);
      nb::list paths;
      for (const auto& p : s.paths) {
        nb::object one = path(py::fs_decode(p));
        paths.append(one);
      }
      if (s.is_list)
        out[key] = paths;
      else
        out[key] = paths[0];
    }
    return out;
  }

 private:
  const PlanSource& src_;
  const RunPlan& plan_;
  Env env_;
  nb::object env_obj_;
  bool own_run_;
  std::string registry_;
  PyLog log_;
  LocalExecutor executor_;
  RunSettings settings_;
  std::optional<Resources> job_resources_;  // under SLURM, asked for at the first attempt
  std::unique_ptr<CachedRun> cache_;
  RunOutcome outcome_;
  std::string recovery_;  // what the next retry is
};

nb::object run(nb::handle self, nb::handle tool_name, nb::handle manifest, nb::handle inputs, nb::handle output_dir) {
  py::require_str(tool_name, "tool_name");
  py::require_dict(manifest, "manifest");
  py::require_dict(inputs, "inputs");
  py::require_str(output_dir, "output_dir");
  PlanSource src{self, tool_name, manifest, {}, {}};
  RunPlan plan = make_plan(tool_name, manifest, inputs, output_dir, src);
  RunSettings settings;
  settings.declared = manifest_resources(manifest);
  if (settings.declared) put_resource_env(plan.env, *settings.declared);
  settings.slurm = runs_on_slurm(self);
  if (settings.slurm) settings.slurm_options = slurm_options(self);
  PyRunHooks hooks(src, plan, std::move(settings));
  RunResult result;
  try {
    result = py::without_gil([&](const std::function<bool()>& abort) {
      hooks.abort = abort;
      return run_tool(plan, hooks);
    });
  } catch (nb::python_error& e) {
    nb::str said(e.value());
    hooks.failed(py::text_bytes(nb::len(said) ? said : nb::str(e.type().attr("__name__"))));
    throw;
  } catch (const CommandFailed& e) {
    hooks.failed(e.text());
    throw;
  } catch (const std::exception& e) {
    hooks.failed(e.what());
    throw;
  }
  return result_dict(result, plan, src);
}

}  // namespace

void bind_run(nb::module_&, Class& cls) {
  cls.def("run", &run, nb::arg("tool_name").none(), nb::arg("manifest").none(), nb::arg("inputs").none(),
          nb::arg("output_dir").none(),
          nb::sig("def run(self, tool_name: str, manifest: dict, inputs: dict, output_dir: str) -> dict"),
          "Run one tool for one node: stage the inputs into a private sandbox, build the "
          "arguments from the template, run it through `rivo exec`, retry once with relocated "
          "paths or LLM-written arguments, harvest the outputs into output_dir and return the "
          "map from output slot to path (None, a path, or a list of paths).");
}

}  // namespace tavro::rivo
