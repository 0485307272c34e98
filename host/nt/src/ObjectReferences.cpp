// Reference counts of device objects as tests see them.
#include "Kernel.h"
#include "emu/ObjectReferences.h"

namespace emu {

int DeviceReferenceCount(_DEVICE_OBJECT* device) { return detail::PrivateOf(device)->references.load(); }

}  // namespace emu
