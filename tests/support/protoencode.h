// Builds protobuf binary messages with protoc itself, from text format, for tests of parsers.
// No Qt here, so tests of non-Qt libraries can use it.
#pragma once

#include <string>

// Encodes `text` as the message `type` (full name) of the schema file `schema` by running
// `protoc --encode`. Records a test failure and returns an empty string when protoc fails.
std::string protocEncode(const std::string& schema, const std::string& type, const std::string& text);
