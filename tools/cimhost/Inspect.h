#pragma once

namespace cimhost {

// Prints the module's providers, the classes they serve with their keys,
// properties, references and methods. Returns a process exit code.
int inspect(const char* modulePath);

}  // namespace cimhost
