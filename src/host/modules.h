// The members each engine module contributes. Every subsystem's bindings file
// defines its own provider; registerFunctions puts them in their tables.
#pragma once

#include "host_args.h"

HostMembers dazizMembers();          // window_module.cpp
HostMembers brumeMembers();          // brume_module.cpp
HostMembers audioMembers();          // audio_module.cpp
HostMembers aiMembers();             // ai_module.cpp
HostMembers fontMembers();           // font_module.cpp
HostMembers tesselImageMembers();    // tessel_image_module.cpp
HostMembers tesselRendererMembers(); // tessel_render_module.cpp

struct buttonVec;
// The Brume module's hit test over a button list, and its text checksum.
int32_t checkbounds(int32_t x, int32_t y, const std::vector<buttonVec>& buttons);
int32_t calculateChecksum(const std::string& text);

// Republishes the mouse, keyboard and touch-bar globals from the window layer.
void publishInputGlobals();
