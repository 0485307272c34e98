// tesmo-sim: runs the driver in the emulated system and shows what happens.
//   tesmo-sim demo   boot, load the driver, show its trace, unload
#include <cstdio>
#include <string>

#include "emu/System.h"

namespace {

void PrintTraceLine(std::uint32_t level, std::uint32_t component, std::string_view text)
{
    std::printf("  [L%u %03X] %.*s", level, component, static_cast<int>(text.size()), text.data());
    if (text.empty() || text.back() != '\n') std::printf("\n");
}

int Demo()
{
    std::printf("== booting the emulated system\n");
    emu::System system;
    system.SetTraceSink(PrintTraceLine);
    std::printf("== loading the driver image %s\n", TESMO_DRIVER_PATH);
    auto* driver = system.LoadDriverImage(TESMO_DRIVER_PATH, u"Tesmo");
    if (!driver) {
        std::printf("the driver did not load\n");
        return 1;
    }
    std::printf("== unloading the driver\n");
    system.UnloadDriver(driver);
    system.Shutdown();
    std::printf("== done: %zu verifier violation(s)\n", system.verifier().Violations().size());
    return system.verifier().Violations().empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "demo";
    if (command == "demo") return Demo();
    std::fprintf(stderr, "usage: tesmo-sim demo\n");
    return 2;
}
