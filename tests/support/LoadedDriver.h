// The driver image loaded into a test's system, with access to its routines
// and globals by name: each load is a fresh image with fresh globals, as when
// the kernel loads the .sys.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "emu/System.h"
#include "emu_ntddk.h"

namespace tesmo::test {

class LoadedDriver {
public:
    explicit LoadedDriver(emu::System& system, const std::u16string& service = u"Tesmo");
    // Another image than the driver (a probe built for one test).
    LoadedDriver(emu::System& system, const std::u16string& service, const char* imagePath);
    ~LoadedDriver();  // unloads unless already unloaded
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    PDRIVER_OBJECT object() const { return object_; }
    void Unload();

    template <typename T>
    T* Symbol(const char* name) const
    {
        void* address = dlsym(emu::System::Current().DriverImage(object_), name);
        if (!address) throw std::runtime_error(std::string("driver image exports no ") + name);
        return reinterpret_cast<T*>(address);
    }

private:
    emu::System& system_;
    PDRIVER_OBJECT object_ = nullptr;
};

}  // namespace tesmo::test

// A driver routine or global by its declared name, typed by its declaration.
#define DRIVER_SYMBOL(driver, name) (driver).Symbol<decltype(name)>(#name)

#ifndef TESMO_DRIVER_PATH
#error "TESMO_DRIVER_PATH must name the driver image"
#endif
