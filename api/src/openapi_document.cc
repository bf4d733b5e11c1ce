#include "openapi_document.h"

#include <nlohmann/json.hpp>

#include "openapi_sources.h"

namespace ringwell::api {
namespace {

constexpr char kPrefix[] = "RequestDescription_";

// Points the schema's "#/$defs/NAME" references at the document's components.
void Rewrite(nlohmann::ordered_json& node) {
  if (node.is_object()) {
    for (auto& [key, value] : node.items()) {
      if (key == "$ref" && value.is_string() &&
          value.get<std::string>().rfind("#/$defs/", 0) == 0) {
        value = "#/components/schemas/" + std::string(kPrefix) + value.get<std::string>().substr(8);
      } else {
        Rewrite(value);
      }
    }
  } else if (node.is_array()) {
    for (auto& value : node) Rewrite(value);
  }
}

}  // namespace

std::string OpenApiDocument() {
  nlohmann::ordered_json document = nlohmann::ordered_json::parse(kOpenApiText);
  nlohmann::ordered_json schema = nlohmann::ordered_json::parse(kRequestSchemaText);
  schema.erase("$schema");
  schema.erase("$id");
  nlohmann::ordered_json definitions = schema.value("$defs", nlohmann::ordered_json::object());
  schema.erase("$defs");
  Rewrite(schema);
  Rewrite(definitions);
  auto& schemas = document["components"]["schemas"];
  schemas["RequestDescription"] = schema;
  for (auto& [name, definition] : definitions.items()) {
    schemas[std::string(kPrefix) + name] = definition;
  }
  return document.dump(2) + "\n";
}

}  // namespace ringwell::api
