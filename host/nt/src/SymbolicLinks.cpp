// The exported symbolic-link routines and the namespace inspection API.
#include "Kernel.h"
#include "emu/ExportEntry.h"
#include "emu/Namespace.h"

namespace emu::detail {
namespace {

bool ValidString(const UNICODE_STRING* text, const char* routine, const char* what)
{
    // An empty string is well formed (its lookup simply finds nothing).
    if (text && text->Length == 0) return true;
    if (text && text->Buffer && text->Length % sizeof(WCHAR) == 0 && text->Length <= text->MaximumLength) return true;
    Violation(Rule::NotModelled, nullptr, std::string(routine) + " with a malformed counted string for the " + what);
    return false;
}

}  // namespace
}  // namespace emu::detail

namespace emu {

std::vector<SymbolicLinkInfo> SymbolicLinks()
{
    std::vector<SymbolicLinkInfo> out;
    for (auto& link : detail::K().names.Links()) out.push_back(SymbolicLinkInfo{link.name, link.target});
    return out;
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link)
{
    return detail::K().names.LinkTarget(link);
}

_DEVICE_OBJECT* LookUpDevice(std::u16string_view name)
{
    auto found = detail::K().names.Resolve(name);
    if (!NT_SUCCESS(found.status)) return nullptr;
    ObDereferenceObject(found.device);
    return found.device;
}

}  // namespace emu

using namespace emu::detail;

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    EMU_ENTRY(IoCreateSymbolicLink);
    if (!ValidString(SymbolicLinkName, "IoCreateSymbolicLink", "link name") ||
        !ValidString(DeviceName, "IoCreateSymbolicLink", "target name")) {
        return STATUS_INVALID_PARAMETER;
    }
    return K().names.CreateLink(ToU16(SymbolicLinkName), ToU16(DeviceName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    EMU_ENTRY(IoDeleteSymbolicLink);
    if (!ValidString(SymbolicLinkName, "IoDeleteSymbolicLink", "link name")) return STATUS_INVALID_PARAMETER;
    return K().names.DeleteLink(ToU16(SymbolicLinkName));
}

}  // extern "C"
