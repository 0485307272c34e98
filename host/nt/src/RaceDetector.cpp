// The race detector's lockset and guard checks over the driver's memory.
#include "RaceDetector.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "ControlledSchedule.h"
#include "Dispatcher.h"
#include "Kernel.h"
#include "ThreadState.h"
#include "emu/ExportEntry.h"

namespace emu::detail {

namespace {

constexpr std::uintptr_t kGranule = 4;

// The hosts' descriptions, process-wide.
struct RecordDescription {
    std::string name;
    std::size_t size;
    std::vector<GuardedField> fields;  // by offset
};
struct GlobalDescription {
    std::string symbol;
    std::size_t size;
    GuardedField field;
};
struct Descriptions {
    std::mutex mutex;
    std::vector<RecordDescription> records;
    std::deque<GlobalDescription> globals;  // regions point at their fields: never moved
};

Descriptions& TheDescriptions()
{
    static auto* descriptions = new Descriptions;  // never destroyed: systems may outlive static destruction
    return *descriptions;
}

const GuardedField* FieldAt(const std::vector<GuardedField>& fields, std::size_t offset)
{
    for (const GuardedField& field : fields) {
        if (offset >= field.offset && offset < field.offset + field.size) return &field;
    }
    return nullptr;
}

const GuardedField* FieldNamed(const std::vector<GuardedField>& fields, const char* name)
{
    if (!name) return nullptr;
    for (const GuardedField& field : fields) {
        if (std::string(field.name) == name) return &field;
    }
    return nullptr;
}

std::string DynamicSymbol(void* pc)
{
    Dl_info info{};
    if (!dladdr(pc, &info) || !info.dli_sname) {
        char text[32];
        std::snprintf(text, sizeof text, "%p", pc);
        return text;
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status),
                                                     std::free);
    std::string name = status == 0 && demangled ? demangled.get() : info.dli_sname;
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%lx",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(pc) -
                                             reinterpret_cast<std::uintptr_t>(info.dli_saddr)));
    return name + offset;
}

// Watchpoints: one checked access in `every` is watched for `points`
// scheduling points. TESMO_RACE_WATCH=every,points sets other defaults.
struct WatchDefaults {
    std::atomic<unsigned> every{64};
    std::atomic<unsigned> points{3};
    WatchDefaults()
    {
        if (const char* text = std::getenv("TESMO_RACE_WATCH")) {
            unsigned e = 0;
            unsigned p = 0;
            if (std::sscanf(text, "%u,%u", &e, &p) == 2) {
                every = e;
                points = p;
            }
        }
    }
};

WatchDefaults& TheWatchDefaults()
{
    static auto* defaults = new WatchDefaults;  // never destroyed, as the descriptions
    return *defaults;
}

}  // namespace

// ---- regions ----

void RaceDetector::ImageLoaded(void* handle)
{
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return;
    struct Search {
        ElfW(Addr) base;
        std::vector<std::pair<std::uintptr_t, std::uintptr_t>> writable;
    } search{map->l_addr, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            if (info->dlpi_addr != s->base) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& header = info->dlpi_phdr[i];
                if (header.p_type == PT_LOAD && (header.p_flags & PF_W)) {
                    std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
                    s->writable.emplace_back(start, start + header.p_memsz);
                }
            }
            return 1;
        },
        &search);
    auto symbols = std::make_unique<ImageSymbols>(map->l_name ? map->l_name : "", map->l_addr);
    std::vector<Region> described;
    {
        Descriptions& descriptions = TheDescriptions();
        std::lock_guard lock(descriptions.mutex);
        for (const GlobalDescription& global : descriptions.globals) {
            void* address = dlsym(handle, global.symbol.c_str());
            if (!address) continue;
            Region region;
            region.start = reinterpret_cast<std::uintptr_t>(address);
            region.size = global.size;
            region.kind = Kind::Global;
            region.symbol = global.symbol;
            region.global = &global.field;
            described.push_back(std::move(region));
        }
    }
    // Every other writable global of the image is left to the lockset, so
    // that a global added without a description is still judged.
    for (const ImageSymbols::Object& object : symbols->objects()) {
        bool writable = std::any_of(search.writable.begin(), search.writable.end(), [&](const auto& range) {
            return object.start >= range.first && object.start + object.size <= range.second;
        });
        bool isDescribed = std::any_of(described.begin(), described.end(),
                                       [&](const Region& region) { return region.start == object.start; });
        if (!writable || isDescribed) continue;
        Region region;
        region.start = object.start;
        region.size = object.size;
        region.kind = Kind::Global;
        region.symbol = object.name;
        described.push_back(std::move(region));
    }
    std::lock_guard lock(mutex_);
    symbols_.emplace_back(handle, std::move(symbols));
    for (const auto& range : search.writable) imageGlobals_.emplace_back(handle, range);
    for (Region& region : described) regions_[region.start] = std::move(region);
}

void RaceDetector::ImageUnloaded(void* handle)
{
    std::lock_guard lock(mutex_);
    std::erase_if(symbols_, [&](const auto& entry) { return entry.first == handle; });
    for (auto it = imageGlobals_.begin(); it != imageGlobals_.end();) {
        if (it->first != handle) {
            ++it;
            continue;
        }
        Forget(it->second.first, it->second.second - it->second.first);
        for (auto region = regions_.lower_bound(it->second.first);
             region != regions_.end() && region->first < it->second.second;) {
            region = regions_.erase(region);
        }
        it = imageGlobals_.erase(it);
    }
}

void RaceDetector::PoolAllocated(void* block, std::size_t size, std::uint32_t tag, void* caller)
{
    if (!block || !instrumented()) return;
    Region region;
    region.start = reinterpret_cast<std::uintptr_t>(block);
    region.size = size;
    region.kind = Kind::Pool;
    region.tag = tag;
    region.caller = caller;
    std::lock_guard lock(mutex_);
    regions_[region.start] = std::move(region);
}

void RaceDetector::PoolFreed(void* block, void* caller)
{
    if (!block || !instrumented()) return;
    std::vector<std::string> findings;
    {
        std::lock_guard lock(mutex_);
        auto it = regions_.find(reinterpret_cast<std::uintptr_t>(block));
        if (it == regions_.end()) return;
        // Freed under a thread stalled at an access to it: a use after free
        // that a multiprocessor makes now and then.
        ThreadState& thread = Self();
        for (Watchpoint* watch : watches_) {
            if (watch->start >= it->second.start + it->second.size || watch->start + watch->size <= it->second.start ||
                watch->watcher == &thread) {
                continue;
            }
            watch->freed = true;
            std::string key = watch->what + "|freed";
            if (!reported_.insert(key).second) continue;
            findings.push_back(watch->what + ": freed by thread '" + thread.name + "' at " +
                               Symbolize(caller ? caller : __builtin_return_address(0)) + " while " +
                               Describe(watch->access) + " (that thread was stalled at the access)");
        }
        Forget(it->second.start, it->second.size);
        regions_.erase(it);
        findings_ += findings.size();
    }
    for (std::string& finding : findings) K().verifier.Report(emu::Rule::DataRace, nullptr, std::move(finding));
}

void RaceDetector::ExtensionAllocated(void* extension, std::size_t size)
{
    if (!extension || !instrumented()) return;
    Region region;
    region.start = reinterpret_cast<std::uintptr_t>(extension);
    region.size = size;
    region.kind = Kind::Extension;
    {
        Descriptions& descriptions = TheDescriptions();
        std::lock_guard lock(descriptions.mutex);
        for (std::size_t i = 0; i < descriptions.records.size(); ++i) {
            if (descriptions.records[i].size == size) region.record = static_cast<int>(i);
        }
    }
    std::lock_guard lock(mutex_);
    regions_[region.start] = std::move(region);
}

void RaceDetector::ExtensionFreed(void* extension) { PoolFreed(extension); }

void RaceDetector::RecordPublished(void* extension)
{
    if (!extension || !instrumented()) return;
    std::lock_guard lock(mutex_);
    auto it = regions_.find(reinterpret_cast<std::uintptr_t>(extension));
    if (it != regions_.end() && it->second.kind == Kind::Extension) it->second.published = true;
}

void RaceDetector::ImageStarted(void* handle)
{
    std::lock_guard lock(mutex_);
    for (const auto& [image, range] : imageGlobals_) {
        if (image != handle) continue;
        for (auto it = regions_.lower_bound(range.first); it != regions_.end() && it->first < range.second; ++it) {
            if (it->second.kind == Kind::Global) it->second.published = true;
        }
    }
}

void RaceDetector::Forget(std::uintptr_t start, std::size_t size)
{
    for (std::uintptr_t granule = start & ~(kGranule - 1); granule < start + size; granule += kGranule) {
        shadow_.erase(granule);
        owners_.erase(granule);
    }
}

const RaceDetector::Region* RaceDetector::Find(std::uintptr_t address) const
{
    auto it = regions_.upper_bound(address);
    if (it != regions_.begin()) {
        --it;
        if (address < it->second.start + it->second.size) return &it->second;
    }
    return nullptr;
}

// ---- locks ----

void RaceDetector::LockTaken(ThreadState& thread, const void* lock)
{
    thread.race.locks.push_back(reinterpret_cast<std::uintptr_t>(lock));
}

void RaceDetector::LockReleased(ThreadState& thread, const void* lock)
{
    auto& locks = thread.race.locks;
    auto it = std::find(locks.rbegin(), locks.rend(), reinterpret_cast<std::uintptr_t>(lock));
    if (it != locks.rend()) locks.erase(std::next(it).base());
}

std::string RaceDetector::LockName(std::uintptr_t lock) const
{
    if (lock == reinterpret_cast<std::uintptr_t>(&K().io.cancelLock)) return "the cancel spin lock";
    if (const Region* region = Find(lock)) {
        Rule rule = RuleFor(*region, lock);
        return rule.what;
    }
    char text[32];
    std::snprintf(text, sizeof text, "spin lock %p", reinterpret_cast<void*>(lock));
    return text;
}

// ---- rules ----

RaceDetector::Rule RaceDetector::RuleFor(const Region& region, std::uintptr_t granule) const
{
    Rule rule;
    std::size_t offset = granule - region.start;
    char at[48];
    std::snprintf(at, sizeof at, "+%zu", offset);
    switch (region.kind) {
    case Kind::Global: {
        rule.what = region.symbol.empty() ? std::string("a global") : region.symbol + (offset ? at : "");
        if (region.global) {
            rule.guard = region.global->guard;
            rule.why = region.global->why;
            if (region.global->lock) {
                rule.lockName = region.global->lock;
                for (const auto& [start, other] : regions_) {
                    if (other.kind == Kind::Global && other.symbol == region.global->lock) rule.lock = start;
                }
            }
        }
        return rule;
    }
    case Kind::Extension: {
        Descriptions& descriptions = TheDescriptions();
        std::lock_guard lock(descriptions.mutex);
        if (region.record < 0) {
            rule.what = std::string("a device extension") + at;
            return rule;
        }
        const RecordDescription& record = descriptions.records[static_cast<std::size_t>(region.record)];
        const GuardedField* field = FieldAt(record.fields, offset);
        if (!field) {
            rule.what = record.name + at;
            return rule;
        }
        rule.what = record.name + "." + field->name;
        rule.guard = field->guard;
        rule.why = field->why;
        if (const GuardedField* lockField = FieldNamed(record.fields, field->lock)) {
            rule.lock = region.start + lockField->offset;
            rule.lockName = record.name + "." + lockField->name;
        }
        return rule;
    }
    case Kind::Pool: {
        char name[96];
        std::snprintf(name, sizeof name, "a pool block of %zu bytes", region.size);
        rule.what = std::string(name) + at;
        // A block a device record points to is guarded as the record says.
        Descriptions& descriptions = TheDescriptions();
        std::lock_guard lock(descriptions.mutex);
        for (const auto& [start, other] : regions_) {
            if (other.kind != Kind::Extension || other.record < 0) continue;
            const RecordDescription& record = descriptions.records[static_cast<std::size_t>(other.record)];
            for (const GuardedField& field : record.fields) {
                if (field.size != sizeof(void*) || field.pointee == Guard::Lockset) continue;
                std::uintptr_t target = 0;
                __builtin_memcpy(&target, reinterpret_cast<const void*>(start + field.offset), sizeof target);
                if (target != region.start) continue;
                rule.what = "the block " + record.name + "." + field.name + " points to" + at;
                rule.guard = field.pointee;
                if (const GuardedField* lockField = FieldNamed(record.fields, field.pointeeLock)) {
                    rule.lock = start + lockField->offset;
                    rule.lockName = record.name + "." + lockField->name;
                }
                return rule;
            }
        }
        if (region.caller) rule.what += " allocated by " + Symbolize(region.caller);
        return rule;
    }
    }
    return rule;
}

std::string RaceDetector::Symbolize(void* pc) const
{
    for (const auto& [handle, symbols] : symbols_) {
        if (auto name = symbols->Name(pc)) return *name;
    }
    return DynamicSymbol(pc);
}

// ---- accesses ----

int RaceDetector::ThreadIndex(ThreadState& thread)
{
    auto [it, added] = threadIndex_.emplace(&thread, static_cast<int>(threadNames_.size()));
    if (added) threadNames_.push_back(thread.name);
    return it->second;
}

RaceDetector::Access RaceDetector::Capture(ThreadState& thread, bool write, void* site)
{
    Access access;
    access.thread = ThreadIndex(thread);
    access.write = write;
    access.stack[0] = site;
    access.depth = 1;
    const auto& calls = thread.race.calls;
    for (auto it = calls.rbegin(); it != calls.rend() && access.depth < access.stack.size(); ++it) {
        access.stack[access.depth++] = *it;
    }
    for (std::uintptr_t lock : thread.race.locks) {
        if (access.lockCount == access.locks.size()) break;
        access.locks[access.lockCount++] = lock;
    }
    return access;
}

std::string RaceDetector::Describe(const Access& access) const
{
    std::string text = (access.write ? "written" : "read");
    text += " by thread '" + threadNames_[static_cast<std::size_t>(access.thread)] + "' holding ";
    if (access.lockCount == 0) text += "no spin lock";
    for (std::uint8_t i = 0; i < access.lockCount; ++i) {
        if (i) text += ", ";
        text += LockName(access.locks[i]);
    }
    text += " at";
    for (std::uint8_t i = 0; i < access.depth; ++i) text += (i ? " <- " : " ") + Symbolize(access.stack[i]);
    return text;
}

bool RaceDetector::Touch(Shadow& shadow, const ThreadState& thread, bool write, bool atomic)
{
    const std::vector<std::uintptr_t>& held = thread.race.locks;
    // The first thread's accesses (the record or block being set up) are
    // checked by nothing: one thread alone cannot race.
    if (shadow.phase == Phase::Virgin || (shadow.phase == Phase::Exclusive && shadow.owner == &thread)) {
        shadow.phase = Phase::Exclusive;
        shadow.owner = &thread;
        return false;
    }
    if (shadow.phase == Phase::Exclusive) {
        shadow.phase = write ? Phase::SharedModified : Phase::Shared;
        // An interlocked operation needs no lock: the plain accesses decide.
        if (!atomic) shadow.candidates = held;
        shadow.lockset = !atomic;
    } else {
        if (write) shadow.phase = Phase::SharedModified;
        if (!atomic && !shadow.lockset) {
            shadow.candidates = held;
            shadow.lockset = true;
        } else if (!atomic) {
            std::erase_if(shadow.candidates,
                          [&](std::uintptr_t lock) { return std::find(held.begin(), held.end(), lock) == held.end(); });
        }
    }
    return true;
}

std::string RaceDetector::Check(const Region& region, std::uintptr_t granule, ThreadState& thread, const Access& access)
{
    Shadow& shadow = shadow_[granule];
    Access previous = shadow.last;
    shadow.last = access;
    const std::vector<std::uintptr_t>& held = thread.race.locks;
    const bool shared = Touch(shadow, thread, access.write, false);
    if (shadow.reported) return "";
    // A location only read since it was shared needs no guard yet.
    const bool modified = shadow.phase == Phase::SharedModified;
    Rule rule = RuleFor(region, granule);
    // One thread alone is excused only while it sets the memory up: once
    // published, a stated guard holds for every access.
    const bool stated = rule.guard == Guard::Lock || rule.guard == Guard::Interlocked;
    if (!shared && !(region.published && stated)) return "";
    std::string broken;
    switch (rule.guard) {
    case Guard::Lockset:
        if (modified && shadow.candidates.empty()) {
            broken = "no spin lock is held at every access of it since it was shared";
        }
        break;
    case Guard::Lock:
        if (std::find(held.begin(), held.end(), rule.lock) == held.end()) {
            broken = "it is guarded by " + rule.lockName;
        }
        break;
    case Guard::Interlocked: broken = "it changes only by interlocked operations, and this is a plain access"; break;
    case Guard::Owner: {
        auto owner = owners_.find(rule.lock);
        if ((access.write || modified) && (owner == owners_.end() || owner->second != &thread)) {
            broken = "only the thread that holds " + rule.lockName + " may touch it";
        }
        break;
    }
    case Guard::Ordered:
    case Guard::Opaque: break;
    }
    if (broken.empty()) return "";
    std::string key = rule.what + "|" + broken;
    if (!reported_.insert(key).second) return "";
    shadow.reported = true;
    std::string text = rule.what + ": " + broken + "; " + Describe(access);
    if (previous.thread >= 0) text += "; before that " + Describe(previous);
    return text;
}

void RaceDetector::PlainAccess(const void* address, std::size_t size, bool write, void* site)
{
    auto start = reinterpret_cast<std::uintptr_t>(address);
    std::vector<std::string> unguarded;
    std::vector<std::string> races;
    bool watch = false;
    Access access;
    {
        std::lock_guard lock(mutex_);
        const Region* region = Find(start);
        if (!region) return;
        ++checked_;
        ThreadState& thread = Self();
        access = Capture(thread, write, site);
        for (std::uintptr_t granule = start & ~(kGranule - 1); granule < start + size; granule += kGranule) {
            const Region* at = granule < region->start + region->size ? region : Find(granule);
            if (!at) continue;
            std::string finding = Check(*at, granule, thread, access);
            if (!finding.empty()) unguarded.push_back(std::move(finding));
        }
        CheckWatches(start, size, write, false, thread, access, races);
        watch = Sample(*region, start);
        findings_ += unguarded.size() + races.size();
    }
    for (std::string& finding : unguarded) K().verifier.Report(emu::Rule::UnguardedAccess, nullptr, std::move(finding));
    for (std::string& finding : races) K().verifier.Report(emu::Rule::DataRace, nullptr, std::move(finding));
    if (watch) Watch(start, size, access);
}

void RaceDetector::CheckWatches(std::uintptr_t start, std::size_t size, bool write, bool atomic,
                                const ThreadState& thread, const Access& access, std::vector<std::string>& findings)
{
    for (Watchpoint* watch : watches_) {
        if (watch->watcher == &thread || start >= watch->start + watch->size || start + size <= watch->start) continue;
        if (!write && !watch->access.write) continue;
        watch->conflicted = true;
        std::string key = watch->what + "|race";
        if (!reported_.insert(key).second) continue;
        findings.push_back(watch->what + ": " + (atomic ? "an interlocked operation " : "") + Describe(access) +
                           " while " + Describe(watch->access) + " (that thread was stalled at the access)");
    }
}

bool RaceDetector::Sample(const Region& region, std::uintptr_t start)
{
    ControlledSchedule* schedule = ActiveSchedule();
    if (!schedule) return false;
    if (!samplerSeeded_) {
        samplerSeeded_ = true;
        sampler_.seed(schedule->seed() ^ 0x7761746368ULL);
        watchEvery_ = TheWatchDefaults().every.load();
        watchPoints_ = TheWatchDefaults().points.load();
        untilWatch_ = watchEvery_ ? sampler_() % (2 * std::uint64_t(watchEvery_)) : 0;
    }
    if (!watchEvery_ || !Self().schedule.takesPart.load(std::memory_order_relaxed)) return false;
    if (untilWatch_ > 0) {
        --untilWatch_;
        return false;
    }
    // A platform object changes inside the platform's routines, which the
    // watch would take for changes of unknown origin; and a thread that may
    // not lose the turn here is watched at its next access instead.
    if (RuleFor(region, start & ~(kGranule - 1)).guard == Guard::Opaque || !MayLoseTurnHere()) return false;
    untilWatch_ = sampler_() % (2 * std::uint64_t(watchEvery_));
    return true;
}

void RaceDetector::Watch(std::uintptr_t start, std::size_t size, const Access& access)
{
    Watchpoint watch;
    {
        std::lock_guard lock(mutex_);
        const Region* region = Find(start);
        if (!region) return;
        watch.start = start;
        watch.size = size;
        watch.watcher = &Self();
        watch.access = access;
        watch.what = RuleFor(*region, start & ~(kGranule - 1)).what;
        watch.compared = std::min(size, watch.value.size());
        __builtin_memcpy(watch.value.data(), reinterpret_cast<const void*>(start), watch.compared);
        watches_.push_back(&watch);
        ++watched_;
    }
    bool stalled = StallForPoints(watchPoints_);
    std::string finding;
    {
        std::lock_guard lock(mutex_);
        std::erase(watches_, &watch);
        if (!stalled) --watched_;
        if (stalled && !watch.freed && !watch.conflicted &&
            __builtin_memcmp(watch.value.data(), reinterpret_cast<const void*>(start), watch.compared) != 0 &&
            reported_.insert(watch.what + "|changed").second) {
            finding = watch.what + ": changed while " + Describe(access) +
                      " was stalled at the access, by no access the detector saw (the emulation, a device, or "
                      "uninstrumented code)";
            ++findings_;
        }
    }
    if (!finding.empty()) K().verifier.Report(emu::Rule::DataRace, nullptr, std::move(finding));
}

void RaceDetector::MarkedReadFollows() { Self().race.markedRead = true; }

void RaceDetector::AtomicAccess(const void* address, std::size_t size, bool write, void*,
                                std::optional<std::pair<std::uint64_t, std::uint64_t>> exchanged)
{
    auto start = reinterpret_cast<std::uintptr_t>(address);
    std::vector<std::string> races;
    ThreadState& thread = Self();
    const bool marked = std::exchange(thread.race.markedRead, false);
    {
        std::lock_guard lock(mutex_);
        ++atomics_;
        if (!Find(start)) return;
        for (std::uintptr_t granule = start & ~(kGranule - 1); granule < start + size; granule += kGranule) {
            Touch(shadow_[granule], thread, write, true);
        }
        // A marked read is unguarded on purpose: it races by design.
        if (!watches_.empty() && !marked) {
            CheckWatches(start, size, write, true, thread, Capture(thread, write, __builtin_return_address(0)), races);
            findings_ += races.size();
        }
        if (exchanged) TakeOrReturnToken(start, thread, *exchanged);
    }
    for (std::string& finding : races) K().verifier.Report(emu::Rule::DataRace, nullptr, std::move(finding));
}

void RaceDetector::TakeOrReturnToken(std::uintptr_t start, const ThreadState& thread,
                                     std::pair<std::uint64_t, std::uint64_t> exchanged)
{
    // A token taken (a non-null pointer exchanged for null) belongs to the
    // thread that took it until it puts one back.
    auto [before, after] = exchanged;
    if (before != 0 && after == 0) {
        owners_[start] = &thread;
    } else if (after != 0) {
        owners_.erase(start);
    }
}

void RaceDetector::MarkedRead(const char* file, int line, const char* why)
{
    MarkedReadFollows();
    std::lock_guard lock(mutex_);
    MarkedPlace& place = marked_[{file, line}];
    if (place.reads == 0) {
        // From the sources' own folder on: the same place whatever the checkout.
        std::string path = file;
        for (const char* folder : {"/src/", "/include/"}) {
            if (auto at = path.rfind(folder); at != std::string::npos) {
                path = path.substr(at + 1);
                break;
            }
        }
        place.file = path;
        place.line = line;
        place.why = why;
    }
    ++place.reads;
}

RaceReport RaceDetector::Report() const
{
    std::lock_guard lock(mutex_);
    RaceReport report;
    report.instrumentedImage = instrumented();
    report.accesses = accesses_.load(std::memory_order_relaxed);
    report.checked = checked_;
    report.atomics = atomics_;
    report.watched = watched_;
    report.findings = findings_;
    for (const auto& [where, place] : marked_) report.marked.push_back(place);
    return report;
}

}  // namespace emu::detail

namespace emu {

void DescribeRecord(std::string name, std::size_t size, std::vector<GuardedField> fields)
{
    auto& descriptions = detail::TheDescriptions();
    std::lock_guard lock(descriptions.mutex);
    std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
    for (auto& record : descriptions.records) {
        if (record.name == name) {
            record.size = size;
            record.fields = std::move(fields);
            return;
        }
    }
    descriptions.records.push_back({std::move(name), size, std::move(fields)});
}

void DescribeGlobal(std::string symbol, std::size_t size, Guard guard, const char* lock, const char* why)
{
    auto& descriptions = detail::TheDescriptions();
    std::lock_guard guardLock(descriptions.mutex);
    for (auto& global : descriptions.globals) {
        if (global.symbol == symbol) {
            global.size = size;
            global.field.guard = guard;
            global.field.lock = lock;
            global.field.why = why;
            return;
        }
    }
    detail::GlobalDescription global{std::move(symbol), size, {}};
    global.field.name = nullptr;
    global.field.size = size;
    global.field.guard = guard;
    global.field.lock = lock;
    global.field.why = why;
    descriptions.globals.push_back(std::move(global));
    // Names must outlive the call: the field keeps the global's own.
    descriptions.globals.back().field.name = descriptions.globals.back().symbol.c_str();
}

void SetWatchpoints(unsigned every, unsigned points)
{
    detail::TheWatchDefaults().every = every;
    detail::TheWatchDefaults().points = points;
}

RaceReport CurrentRaceReport()
{
    if (!System::Exists()) return {};
    return detail::K().races.Report();
}

}  // namespace emu

// ---- the driver's mark of a deliberately unguarded read ----

extern "C" VOID EmuMarkUnguarded(PCSTR Why, PCSTR File, LONG Line)
{
    EMU_ENTRY(EmuMarkUnguarded);
    if (!emu::System::Exists()) return;
    auto& races = emu::detail::K().races;
    if (races.instrumented()) races.MarkedRead(File, static_cast<int>(Line), Why);
}
