// Font: the text renderer's bindings (none built yet).
#include "modules.h"

HostMembers fontMembers() {
    return {};
}
