// Drives the stages of RIVO.run without Python: plan, sandbox, staging,
// arguments, execution with recovery and harvest, on plain values, with
// hooks standing in for RIVO's overridable methods. Run as
//
//   rivo_run_stages <scratch folder>
//
// It prints one line per failed check and exits 1 if any failed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/fileops.hpp"
#include "rivo/core/command.hpp"
#include "rivo/core/glob.hpp"
#include "rivo/core/run.hpp"
#include "rivo/core/shell_split.hpp"
#include "rivo/core/template.hpp"

extern char** environ;

using namespace tavro;
using namespace tavro::rivo;
using Words = std::vector<std::string>;

namespace {

int failures = 0;

#define CHECK(cond)                                                           \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                             \
    }                                                                         \
  } while (0)

std::string slurp(const std::string& path) {
  try {
    return fs::read_file(path);
  } catch (const std::exception&) {
    return "<missing>";
  }
}

void write(const std::string& path, const std::string& text) { fs::write_file(path, text); }

Env host_env() {
  Env env;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq != std::string::npos) env.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
  }
  return env;
}

RunPlan plan_in(const std::string& scratch, const std::string& name) {
  RunPlan plan;
  plan.tool = "tool";
  plan.entrypoint = "tool";
  plan.temp_dir = fs::join(scratch, name + "-tmp");
  plan.output_dir = fs::join(scratch, name + "-out");
  plan.env = host_env();
  fs::make_dirs(plan.temp_dir);
  return plan;
}

InputSlot text_input(const std::string& slot, const std::string& value) {
  InputSlot in;
  in.slot = slot;
  in.kind = InputSlot::Kind::Text;
  in.text = value;
  in.sources = {value};
  return in;
}

// Hooks whose "rivo exec" runs a shell script in the sandbox (the tool) and
// whose recovery answers are scripted.
class ScriptHooks final : public RunHooks {
 public:
  std::string script;                        // the tool: sh -c script sh <args...>
  std::vector<Words> calls;                  // the arguments of every attempt
  std::vector<std::string> failures_first;   // attempts that fail, with these texts
  std::optional<Words> relocated, inferred;  // what the recovery hooks answer
  int fix_calls = 0, infer_calls = 0;

  Executed execute(const RunPlan&, const Sandbox& sb, const Words& args, int stdout_fd,
                   const CommandFailed*) override {
    calls.push_back(args);
    if (calls.size() <= failures_first.size()) throw CommandFailed(failures_first[calls.size() - 1]);
    ExecRequest req;
    req.argv = {"/bin/sh", "-c", script, "sh"};
    req.argv.insert(req.argv.end(), args.begin(), args.end());
    req.cwd = sb.path;
    req.stdout_fd = stdout_fd;
    ExecResult r = executor.run(req);
    if (r.status != 0) throw CommandFailed("tool failed");
    Executed run;
    run.streamed = true;
    run.out_bytes = r.out_bytes;
    run.out = r.out;
    return run;
  }
  std::optional<Words> fix_stale_abs_paths(const Words&, const CommandFailed&) override {
    ++fix_calls;
    return relocated;
  }
  Words infer_args(const Staged&, const CommandFailed&) override {
    ++infer_calls;
    return inferred.value_or(Words{});
  }
  Log& log() override { return quiet; }

  LocalExecutor executor;
  NoLog quiet;
};

void templated_run(const std::string& scratch) {
  RunPlan plan = plan_in(scratch, "templated");
  std::string d0 = fs::join(scratch, "d0"), d1 = fs::join(scratch, "d1");
  fs::make_dirs(d0);
  fs::make_dirs(d1);
  write(d0 + "/a.fq", "reads\n");
  write(d1 + "/a.fq", "other\n");
  plan.args_template = "tool -i {reads} --ref {ref} -n {n} -x {missing} > {log}";
  plan.inputs = {text_input("reads", d0 + "/a.fq"), text_input("ref", d1 + "/a.fq")};
  InputSlot n;
  n.slot = "n";
  n.kind = InputSlot::Kind::Scalar;
  n.text = "5";
  plan.inputs.push_back(n);
  plan.outputs = {{"out", false}, {"log", false}};

  ScriptHooks hooks;
  hooks.script = "cat \"$2\" \"$4\" > out; echo \"args: $*\"; echo note > note.txt";
  RunResult result = run_tool(plan, hooks);

  CHECK(hooks.calls.size() == 1);
  CHECK((hooks.calls.at(0) == Words{"-i", "a.fq", "--ref", "ref_a.fq", "-n", "5"}));
  CHECK(result.size() == 2);
  CHECK(result[0].key == "out" && result[0].kind == ResultEntry::Kind::Path);
  CHECK(slurp(plan.output_dir + "/out") == "reads\nother\n");
  CHECK(slurp(plan.output_dir + "/log") == "args: -i a.fq --ref ref_a.fq -n 5\n");
  CHECK(slurp(plan.output_dir + "/_extras/note.txt") == "note\n");
  CHECK(!fs::exists(plan.output_dir + "/_extras/a.fq"));  // staged inputs are never outputs
  // The sandbox and everything beside it are gone after success.
  CHECK(fs::list_dir(fs::join(plan.temp_dir, "tavro_sandboxes")).empty());
}

void recovery(const std::string& scratch) {
  {
    RunPlan plan = plan_in(scratch, "relocate");
    plan.args_template = "-r /data/ref.fa";
    ScriptHooks hooks;
    hooks.script = "echo \"$2\"";
    hooks.failures_first = {"rivo exec tool failed: /data/ref.fa: No such file or directory"};
    hooks.relocated = Words{"-r", "/opt/ref.fa"};
    RunResult result = run_tool(plan, hooks);
    CHECK(hooks.fix_calls == 1 && hooks.infer_calls == 0);
    CHECK((hooks.calls.at(1) == Words{"-r", "/opt/ref.fa"}));
    CHECK(result.size() == 1 && result[0].key == "stdout");
    CHECK(slurp(result[0].paths.at(0)) == "/opt/ref.fa\n");
  }
  {
    // A relocated retry that fails raises the first failure again, the
    // second as its suppressed context; the sandbox stays.
    RunPlan plan = plan_in(scratch, "relocate-fails");
    plan.args_template = "-r /data/ref.fa";
    ScriptHooks hooks;
    hooks.failures_first = {"first: No such file or directory", "second"};
    hooks.relocated = Words{"-r", "/opt/ref.fa"};
    try {
      run_tool(plan, hooks);
      CHECK(!"raised");
    } catch (const CommandFailed& e) {
      CHECK(std::string(e.what()) == "first: No such file or directory");
      CHECK(e.context() && std::string(e.context()->what()) == "second" && e.context_suppressed());
    }
    CHECK(fs::list_dir(fs::join(plan.temp_dir, "tavro_sandboxes")).size() == 1);
  }
  {
    // Without a template the LLM is asked once; the same answer raises the
    // first failure, with nothing retried.
    RunPlan plan = plan_in(scratch, "infer");
    std::string f = fs::join(scratch, "in.txt");
    write(f, "x\n");
    plan.inputs = {text_input("x", f)};
    ScriptHooks hooks;
    hooks.script = "cat \"$2\"";
    hooks.failures_first = {"usage: tool -i IN"};
    hooks.inferred = Words{"-i", "in.txt"};
    RunResult result = run_tool(plan, hooks);
    CHECK((hooks.calls.at(0) == Words{"in.txt"}));
    CHECK((hooks.calls.at(1) == Words{"-i", "in.txt"}));
    CHECK(slurp(result.at(0).paths.at(0)) == "x\n");

    ScriptHooks same;
    same.failures_first = {"usage"};
    same.inferred = Words{"in.txt"};
    try {
      run_tool(plan, same);
      CHECK(!"raised");
    } catch (const CommandFailed& e) {
      CHECK(std::string(e.what()) == "usage" && same.calls.size() == 1);
    }
  }
}

void harvest_rules(const std::string& scratch) {
  RunPlan plan = plan_in(scratch, "harvest");
  plan.outputs = {{"res", true}, {"result", false}, {"none", false}};
  ScriptHooks hooks;
  hooks.script = "mkdir -p res/a && echo deep > res/a/f && echo r > result.txt && mkdir logs && echo l > logs/l";
  RunResult result = run_tool(plan, hooks);
  CHECK(result.size() == 3);
  CHECK(result[0].kind == ResultEntry::Kind::Path && result[0].paths.at(0) == plan.output_dir + "/res");
  CHECK(slurp(plan.output_dir + "/res/a/f") == "deep\n");
  CHECK(slurp(plan.output_dir + "/result") == "r\n");
  CHECK(slurp(plan.output_dir + "/_extras/result.txt") == "r\n");
  CHECK(slurp(plan.output_dir + "/_extras/logs/l") == "l\n");
  CHECK(result[2].kind == ResultEntry::Kind::None);
}

// Three inputs of one name for one slot are three files; a slot takes the
// file of its own name before any other match, else the first in name order.
void gather_and_harvest_order(const std::string& scratch) {
  RunPlan plan = plan_in(scratch, "gather");
  InputSlot bams;
  bams.slot = "bams";
  bams.kind = InputSlot::Kind::List;
  for (const char* n : {"n0", "n1", "n2"}) {
    std::string dir = fs::join(scratch, n);
    fs::make_dirs(dir);
    write(dir + "/alignment", std::string(n) + "\n");
    bams.sources.push_back(dir + "/alignment");
  }
  plan.inputs = {bams};
  plan.args_template = "{bams}";
  plan.outputs = {{"out", false}, {"log", false}};
  ScriptHooks hooks;
  hooks.script = "cat \"$@\" > out2; cat \"$@\" > out; echo b > log.b; echo a > log.a";
  RunResult result = run_tool(plan, hooks);
  CHECK((hooks.calls.at(0) == Words{"alignment", "bams_alignment", "bams_2_alignment"}));
  CHECK(slurp(plan.output_dir + "/out") == "n0\nn1\nn2\n");
  CHECK(slurp(plan.output_dir + "/log") == "a\n");
  CHECK(slurp(plan.output_dir + "/_extras/out2") == "n0\nn1\nn2\n");
  CHECK(slurp(plan.output_dir + "/_extras/log.b") == "b\n");
  CHECK(result.at(1).kind == ResultEntry::Kind::Path);
}

void words_and_names() {
  CHECK((shell_split("a 'b c' \"d \\\" e\" f\\ g") == Words{"a", "b c", "d \" e", "f g"}));
  CHECK((shell_split("'' x") == Words{"", "x"}));
  try {
    shell_split("'open");
    CHECK(!"raised");
  } catch (const InvalidArgument& e) {
    CHECK(std::string(e.what()) == "No closing quotation");
  }
  CHECK(Glob("out*").matches("out.txt") && !Glob("out*").matches("ou"));
  CHECK(Glob("o[1]*").matches("o1z") && !Glob("o[1]*").matches("o[1]x"));
  CHECK(Glob("[!a]*").matches("b") && !Glob("[z-a]*").matches("z"));
  CHECK(path_argument("-x") == "./-x");
}

// The command runner through the local executor, with a `rivo` on PATH that
// prints its working folder and fails when asked to.
void command_runner(const std::string& scratch) {
  std::string bin = fs::join(scratch, "bin");
  fs::make_dirs(bin);
  write(bin + "/rivo", "#!/bin/sh\npwd\necho \"$RIVO_REGISTRY $APPTAINER_ROOTLESS\"\n[ \"$1\" = fail ] && exit 3\nexit 0\n");
  ::chmod((bin + "/rivo").c_str(), 0755);
  RivoCommand cmd;
  cmd.args = {"list"};
  cmd.env = {{"PATH", bin + ":/usr/bin:/bin"}};
  cmd.registry = "reg";
  cmd.temp_dir = scratch;
  LocalExecutor executor;
  NoLog log;
  CommandOutput out = run_rivo(executor, cmd, log);
  CHECK(out.status == 0);
  CHECK(out.out.find("/rivo_") != std::string::npos);  // a temporary project folder ...
  CHECK(!fs::exists(out.out.substr(0, out.out.find('\n'))));  // ... gone afterwards
  CHECK(out.out.find("reg 1\n") != std::string::npos);
  cmd.args = {"fail"};
  cmd.cwd.reset();
  try {
    run_rivo(executor, cmd, log);
    CHECK(!"raised");
  } catch (const CommandFailed& e) {
    CHECK(std::string(e.what()).rfind("rivo fail failed (exit 3):\nSTDOUT: ", 0) == 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <scratch folder>\n", argv[0]);
    return 2;
  }
  const std::string scratch = argv[1];
  try {
    words_and_names();
    templated_run(scratch);
    recovery(scratch);
    harvest_rules(scratch);
    gather_and_harvest_order(scratch);
    command_runner(scratch);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "unexpected exception: %s\n", e.what());
    return 1;
  }
  if (failures) return 1;
  std::puts("all stages passed");
  return 0;
}
