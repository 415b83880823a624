// paths.h: where the tests find the built programs and the shared test data.
#pragma once

#include <string>

namespace brask::testing {

// Path of a program built into the build's bin folder, e.g. program_path("brask-ai-mcp").
std::string program_path(const std::string& name);
// The project's source folder.
std::string source_dir();
// ../shared/testdata beside the project.
std::string shared_testdata_dir();

}  // namespace brask::testing
