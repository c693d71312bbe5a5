#include "soak.h"
namespace soak {
Figure DiskFullSoak(const Settings &) { return {"disk-full", "todo", false, {}}; }
}
