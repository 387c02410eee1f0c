// The JSON documents of `show --format mcp` and `show --format json-schema`.
#include "commands.hpp"

namespace rivo {
namespace {

Json slot_schema(const Slot& slot) {
  Json j = Json::object();
  j["type"] = Json("string");
  std::string desc = slot.description;
  if (!slot.type.empty()) {
    if (!desc.empty()) desc += ' ';
    desc += '(';
    desc += slot.type;
    desc += ')';
  }
  j["description"] = Json(desc);
  j["x-io-type"] = Json(slot.type);
  for (const auto& [key, value] : slot.extra.items()) j["x-" + key] = value;
  return j;
}

Json slots_schema(const std::vector<Slot>& slots) {
  Json obj = Json::object();
  obj["type"] = Json("object");
  Json props = Json::object();
  Json required = Json::array();
  for (const auto& s : slots) {
    props[s.name] = slot_schema(s);
    if (s.required) required.push_back(Json(s.name));
  }
  obj["properties"] = std::move(props);
  obj["required"] = std::move(required);
  return obj;
}

}  // namespace

Json render_mcp(const ToolDef& def) {
  Json j = Json::object();
  j["name"] = Json(def.name);
  j["description"] = Json(def.description);
  j["inputSchema"] = slots_schema(def.inputs);
  j["outputSchema"] = slots_schema(def.outputs);
  Json meta = Json::object();
  meta["image"] = Json(def.image);
  meta["entrypoint"] = Json(def.entrypoint);
  meta["args_template"] = Json(def.args_template);
  meta["gpu_required"] = Json(def.gpu_required);
  j["_meta"] = std::move(meta);
  return j;
}

Json render_json_schema(const ToolDef& def) {
  Json j = Json::object();
  j["$schema"] = Json("https://json-schema.org/draft/2020-12/schema");
  j["title"] = Json(def.name);
  j["description"] = Json(def.description);
  j["type"] = Json("object");
  Json props = Json::object();
  props["inputs"] = slots_schema(def.inputs);
  props["outputs"] = slots_schema(def.outputs);
  j["properties"] = std::move(props);
  Json required = Json::array();
  required.push_back(Json("inputs"));
  j["required"] = std::move(required);
  return j;
}

}  // namespace rivo
