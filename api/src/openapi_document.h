// The OpenAPI 3.1 document served at /v1/openapi.json: api/openapi.json with
// the JSON Schema of request descriptions (packaging/request.schema.json, the
// one kel's requests follow) put in as components.schemas.RequestDescription,
// its own definitions beside it as RequestDescription_<name>. Both files are
// built into the program.
//
// Thread-safety: a pure function.
#pragma once

#include <string>

namespace ringwell::api {

std::string OpenApiDocument();

}  // namespace ringwell::api
