// The subcommands of the local rivo command.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "definition.hpp"
#include "backend.hpp"
#include "util.hpp"

namespace rivo {

// What every subcommand gets: the registry, the requested backend and the
// working directory (the project).
class Context {
 public:
  // `registry_option` / `backend_option`: the --registry / --backend values
  // when given; otherwise RIVO_REGISTRY / RIVO_BACKEND are used.
  Context(std::optional<std::string> registry_option, std::optional<std::string> backend_option);

  const Registry& registry() const { return registry_; }
  const fs::path& workdir() const { return workdir_; }
  // The backend asked for explicitly; nullopt for none or "auto".
  std::optional<Backend> requested() const { return requested_; }
  // The requested backend, or the detected one (detected once, on demand).
  Backend effective();

 private:
  Registry registry_;
  std::optional<Backend> requested_;
  std::optional<Backend> detected_;
  fs::path workdir_;
};

int cmd_add(Context& ctx, const std::vector<std::string>& tools);
int cmd_sync(Context& ctx, bool frozen);
int cmd_lock(Context& ctx, bool check);
int cmd_remove(Context& ctx, const std::vector<std::string>& tools);
int cmd_list(Context& ctx, bool binaries);
int cmd_show(Context& ctx, const std::string& tool, const std::string& format);
int cmd_info(Context& ctx, const std::string& tool);
int cmd_search(Context& ctx, const std::string& query, const std::string& tier);
int cmd_shell(Context& ctx, const std::string& shell);
int cmd_exec(Context& ctx, const std::vector<std::string>& argv);

// Human-readable description of a tool, as `show` prints it.
std::string render_text(const ToolDef& def);
// `show --format mcp` and `show --format json-schema` documents.
Json render_mcp(const ToolDef& def);
Json render_json_schema(const ToolDef& def);

}  // namespace rivo
