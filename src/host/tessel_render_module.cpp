// Tessel: the 3D view's bindings (none built yet).
#include "modules.h"

HostMembers tesselRendererMembers() {
    return {};
}
