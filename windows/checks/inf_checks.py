"""Checks that the INF installs the built image as the function driver of the
instrument in the Ports class, for x64, in a way that leaves the COM name to
the Ports class installer.

check_inf(inf, image_name, driver_version) takes a parsed InfFile, the file
name of the built image and the driver's version as four numbers (or None).
"""

import re

from findings import failed, passed

PORTS_CLASS = "Ports"
PORTS_CLASS_GUID = "{4D36E978-E325-11CE-BFC1-08002BE10318}"
PLACEHOLDER_HARDWARE_ID = "USB\\VID_0000&PID_0000"
ARCHITECTURE = "NTamd64"
DRIVERS_DIRID = "12"                       # %SystemRoot%\System32\drivers
SPSVCINST_ASSOCSERVICE = 0x2               # the service is the device's function driver
SERVICE_KERNEL_DRIVER = 1
SERVICE_DEMAND_START = 3
SERVICE_ERROR_NORMAL = 1

_HARDWARE_ID = re.compile(r"^USB\\VID_[0-9A-F]{4}&PID_[0-9A-F]{4}(&[A-Z0-9_&]+)?$", re.IGNORECASE)
_DRIVER_VER = re.compile(r"^(\d{2})/(\d{2})/(\d{4})$")


def _number(text):
    try:
        return int(text, 0)
    except (TypeError, ValueError):
        return None


def _install_section(inf, name):
    """The DDInstall section Setup picks on x64: the most specific decoration present."""
    for candidate in (name + "." + ARCHITECTURE, name + ".NT", name):
        if inf.has_section(candidate):
            return candidate
    return None


def models(inf):
    """[(models section, [(install section, [hardware IDs])])] for the x64 decoration."""
    found = []
    for entry in inf.entries("Manufacturer"):
        if not entry.fields:
            continue
        base, decorations = entry.fields[0], [decoration.lower() for decoration in entry.fields[1:]]
        if not any(decoration.split(".")[0] == ARCHITECTURE.lower() for decoration in decorations):
            continue
        section = base + "." + ARCHITECTURE
        devices = [(device.fields[0], device.fields[1:]) for device in inf.entries(section) if device.fields]
        found.append((section, devices))
    return found


def install_sections(inf):
    names = []
    for _, devices in models(inf):
        for install, _ in devices:
            resolved = _install_section(inf, install)
            if resolved and resolved not in names:
                names.append(resolved)
    return names


def check_syntax(inf, image_name, driver_version):
    if inf.errors:
        return failed("inf-syntax", "; ".join(inf.errors))
    return passed("inf-syntax", "parses: %d sections" % len(inf.sections))


def check_version_section(inf, image_name, driver_version):
    signature = (inf.value("Version", "Signature") or "").lower()
    if signature not in ("$windows nt$", "$chicago$"):
        return failed("inf-version", "[Version] Signature is \"%s\", not \"$Windows NT$\"" % signature)
    catalog = inf.value("Version", "CatalogFile." + ARCHITECTURE) or inf.value("Version", "CatalogFile")
    if not catalog or not catalog.lower().endswith(".cat"):
        return failed("inf-version", "[Version] names no catalog (CatalogFile = ....cat) to sign")
    return passed("inf-version", "signature %s, catalog %s" % (inf.value("Version", "Signature"), catalog))


def check_class(inf, image_name, driver_version):
    device_class = inf.value("Version", "Class")
    guid = inf.value("Version", "ClassGuid")
    if (device_class or "").lower() != PORTS_CLASS.lower():
        return failed("inf-class", "Class is \"%s\", not %s" % (device_class, PORTS_CLASS))
    if (guid or "").upper() != PORTS_CLASS_GUID:
        return failed("inf-class", "ClassGuid is \"%s\", not the Ports class %s" % (guid, PORTS_CLASS_GUID))
    return passed("inf-class", "class %s %s" % (device_class, guid))


def check_driver_ver(inf, image_name, driver_version):
    fields = inf.values("Version", "DriverVer")
    if not fields or len(fields[-1]) != 2:
        return failed("inf-driver-ver", "[Version] has no DriverVer = mm/dd/yyyy,w.x.y.z")
    date, version = fields[-1]
    if not _DRIVER_VER.match(date):
        return failed("inf-driver-ver", "DriverVer date \"%s\" is not mm/dd/yyyy" % date)
    parts = version.split(".")
    numbers = [_number(part) for part in parts]
    if len(parts) != 4 or any(number is None or not 0 <= number <= 65535 for number in numbers):
        return failed("inf-driver-ver", "DriverVer version \"%s\" is not four numbers of 0 to 65535" % version)
    if driver_version is not None and tuple(numbers) != tuple(driver_version):
        return failed("inf-driver-ver", "DriverVer version %s differs from the driver's %s" %
                      (version, ".".join(map(str, driver_version))))
    return passed("inf-driver-ver", "DriverVer %s,%s" % (date, version))


def check_models(inf, image_name, driver_version):
    found = models(inf)
    if not found:
        return failed("inf-models", "no [Manufacturer] entry decorated for NTamd64: nothing installs on x64")
    notes = []
    for section, devices in found:
        if not inf.has_section(section):
            return failed("inf-models", "models section [%s] is missing" % section)
        if not devices:
            return failed("inf-models", "models section [%s] lists no device" % section)
        for install, hardware_ids in devices:
            if _install_section(inf, install) is None:
                return failed("inf-models", "install section [%s] of [%s] is missing" % (install, section))
            usb_ids = [hardware_id for hardware_id in hardware_ids if _HARDWARE_ID.match(hardware_id)]
            if not usb_ids:
                return failed("inf-models", "[%s] installs %s for no USB\\VID_vvvv&PID_pppp hardware ID (%s)" %
                              (section, install, ", ".join(hardware_ids) or "none"))
            if any(hardware_id.upper() == PLACEHOLDER_HARDWARE_ID for hardware_id in usb_ids):
                notes.append("the hardware ID is still the placeholder %s" % PLACEHOLDER_HARDWARE_ID)
    return passed("inf-models", "; ".join(["x64 models %s" % ", ".join(section for section, _ in found)] + notes))


def _copied_files(inf, install):
    """[(file name, directory ID)] that the install section's CopyFiles puts in place."""
    default_dir = inf.value("DestinationDirs", "DefaultDestDir")
    copied = []
    for fields in inf.values(install, "CopyFiles"):
        for item in fields:
            if item.startswith("@"):
                copied.append((item[1:], default_dir))
                continue
            directory = inf.value("DestinationDirs", item) or default_dir
            copied.extend((entry.fields[0], directory) for entry in inf.entries(item) if entry.fields)
    return copied


def _source_files(inf):
    names = set()
    for section in ("SourceDisksFiles", "SourceDisksFiles.amd64"):
        names.update(entry.key.lower() for entry in inf.entries(section) if entry.key)
    return names


def check_copy_files(inf, image_name, driver_version):
    installs = install_sections(inf)
    if not installs:
        return failed("inf-copy-files", "no install section to copy %s" % image_name)
    for install in installs:
        copied = {name.lower(): directory for name, directory in _copied_files(inf, install)}
        if image_name.lower() not in copied:
            return failed("inf-copy-files", "[%s] CopyFiles does not copy %s" % (install, image_name))
        if copied[image_name.lower()] != DRIVERS_DIRID:
            return failed("inf-copy-files", "%s is copied to directory %s, not the drivers directory (%s)" %
                          (image_name, copied[image_name.lower()], DRIVERS_DIRID))
    if image_name.lower() not in _source_files(inf):
        return failed("inf-copy-files", "[SourceDisksFiles] does not list %s" % image_name)
    return passed("inf-copy-files", "%s copied to %%%s%%" % (image_name, DRIVERS_DIRID))


def _function_driver_services(inf, install):
    """Service-install sections of AddService entries that carry SPSVCINST_ASSOCSERVICE."""
    found = []
    for fields in inf.values(install + ".Services", "AddService"):
        flags = _number(fields[1]) if len(fields) > 1 else 0
        if len(fields) > 2 and flags is not None and flags & SPSVCINST_ASSOCSERVICE:
            found.append((fields[0], fields[2]))
    return found


def check_service(inf, image_name, driver_version):
    installs = install_sections(inf)
    if not installs:
        return failed("inf-service", "no install section to add the service")
    for install in installs:
        services = _function_driver_services(inf, install)
        if len(services) != 1:
            return failed("inf-service", "[%s.Services] has %d AddService entries with flag 0x2 (function driver), "
                          "not one" % (install, len(services)))
        name, section = services[0]
        expected = {"ServiceType": SERVICE_KERNEL_DRIVER, "StartType": SERVICE_DEMAND_START,
                    "ErrorControl": SERVICE_ERROR_NORMAL}
        for key, wanted in expected.items():
            actual = _number(inf.value(section, key))
            if actual != wanted:
                return failed("inf-service", "[%s] %s is %s, not %d" % (section, key, inf.value(section, key), wanted))
        binary = inf.value(section, "ServiceBinary") or ""
        expected_binary = "%%%s%%\\%s" % (DRIVERS_DIRID, image_name)
        if binary.lower() != expected_binary.lower():
            return failed("inf-service", "[%s] ServiceBinary is \"%s\", not %s where CopyFiles puts the image" %
                          (section, binary, expected_binary))
    return passed("inf-service", "service %s: kernel driver, demand start, normal errors, %s" % (name, binary))


def _add_reg_sections(inf, install):
    sections = []
    for owner in (install, install + ".HW"):
        for fields in inf.values(owner, "AddReg"):
            sections.extend(fields)
    return sections


def check_port_name(inf, image_name, driver_version):
    # The Ports class installer assigns a free COM name and writes it as
    # PortName; an INF that writes PortName itself pins every device to one name.
    for install in install_sections(inf):
        for section in _add_reg_sections(inf, install):
            for entry in inf.entries(section):
                fields = ([entry.key] if entry.key else []) + entry.fields
                if len(fields) > 2 and fields[2].lower() == "portname":
                    return failed("inf-port-name", "[%s] line %d writes PortName: the Ports class installer "
                                  "assigns the COM name" % (section, entry.line))
    return passed("inf-port-name", "PortName is left to the Ports class installer")


INF_CHECKS = (
    check_syntax,
    check_version_section,
    check_class,
    check_driver_ver,
    check_models,
    check_copy_files,
    check_service,
    check_port_name,
)


def check_inf(inf, image_name, driver_version=None):
    return [check(inf, image_name, driver_version) for check in INF_CHECKS]


_VERSION_DEFINE = re.compile(r'#define\s+TESMO_VERSION\s+"(\d+)\.(\d+)\.(\d+)\.(\d+)"')


def driver_version_from_header(path):
    """The four numbers of TESMO_VERSION in the driver's header."""
    with open(path, encoding="utf-8") as header:
        match = _VERSION_DEFINE.search(header.read())
    if not match:
        raise ValueError("%s defines no TESMO_VERSION \"w.x.y.z\"" % path)
    return tuple(int(part) for part in match.groups())
