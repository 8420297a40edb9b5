// Tessel: the image operations' bindings (none built yet).
#include "modules.h"

HostMembers tesselImageMembers() {
    return {};
}
