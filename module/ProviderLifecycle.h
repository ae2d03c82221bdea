// What the three providers do alike: trace their construction and
// destruction, and count the agent facade up on load and down on unload.
#pragma once

namespace cimple {

// Traces "<provider>::<provider>()" or "<provider>::~<provider>()" at level 5.
void traceConstruction(const char* provider);
void traceDestruction(const char* provider);

// Trace "<provider>::load()" / "<provider>::unload()" and count the facade;
// 0 on success, else the load (30) or unload (40) failure status.
int loadProvider(const char* provider);
int unloadProvider(const char* provider);

}  // namespace cimple
