// One call to the system failing in the middle of a whole run: a realistic package is applied
// once to count the backend's fallible calls, then once for every k with the k-th call failing.
// After each run nothing may be lost: every payload file holds its old or its new content, the
// files the package does not name are as they were, a file that kept its old content said so
// and kept the stamp away, and the registry store is whole, each value old or new. Then the
// same package applied again without faults must end exactly like a clean install.
//
// What a single fault may break within the rules of the apply sequence (a backup that cannot
// be deleted stays, outcomes that are not examined by design, texts whose buffer cannot be had)
// is listed by the kind of call and the phase, and each such run must show exactly that.
#include "platform/posix/faults.h"

#include <fnmatch.h>

#include <new>
#include <set>

#include "fixture.h"
#include "platform/posix/files.h"
#include "platform/posix/process.h"

// The project's allocation points (new (std::nothrow)) count as fallible calls in this binary.
// The memory comes from the ordinary operators, so that ASan pairs it with delete as usual.
namespace {
template <typename Allocate>
void* AllocateUnlessFailed(Allocate allocate) noexcept {
    if (platform::posix::FailsByTest(platform::posix::FallibleCall::Allocate)) {
        return nullptr;
    }
    try {
        return allocate();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateUnlessFailed([size] { return ::operator new(size); });
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return AllocateUnlessFailed([size] { return ::operator new[](size); });
}

namespace {

using namespace fixture;
using platform::posix::FallibleCall;
using platform::posix::FallibleCallName;
using Deviations = std::set<std::string>;

// A file the package rebuilds from its old version by a delta: several delta blocks, read
// through several views.
std::string WorldBefore() {
    const pkgbuild::Bytes bytes = pkgbuild::Pattern(9000, 5);
    return std::string(bytes.begin(), bytes.end());
}
std::string WorldAfter() {
    std::string after = WorldBefore();
    after.replace(100, 22, "changed near the start");
    after.insert(5000, "inserted in the middle");
    after[8000] = static_cast<char>(after[8000] ^ 0x55);
    return after;
}

// A payload file: its name as the package places it (shown in the texts) and on disk.
struct PayloadFile {
    std::string shown;
    std::string path;
};
const PayloadFile kPayload[] = {
    {"game.dat", "game.dat"},
    {"data\\levels.pak", "data/levels.pak"},
    {"data\\table.dat", "data/table.dat"},
    {"data\\world.dat", "data/world.dat"},
    {"new\\readme.txt", "new/readme.txt"},
};

const Tree kBefore = {
    {"game.dat", "old game data"},     {"data", "/"},  {"data/levels.pak", std::string(5000, 'L')},
    {"config.ini", "volume=3"},        {"save", "/"},  {"save/slot1.sav", "the player's save"},
    {"obsolete.txt", "to be removed"}, {"empty", "/"}, {"data/world.dat", WorldBefore()},
};

// Stored and compressed files, new and replacing, across several views of 4 KiB; a file
// rebuilt by a delta; a name-table entry, folders, a command, removals, registry values in both
// roots and the stamp.
pkgbuild::Package FaultPackage() {
    Entry stored = Section("data\\levels.pak", pkgbuild::Pattern(10000, 7));
    stored.compressed = false;
    Entry readme = Payload("new\\readme.txt", "read me");
    readme.compressed = false;
    return PackageAtLevel(
        1, {List(":StartupMsg", {"Патч", "Установить?"}),
            List(":XlatNamesTable", {"tmp0001", "data\\table.dat"}),
            List(":Folders", {"logs", "logs\\old"}), Payload("game.dat", std::string(6000, 'g')),
            stored, Payload("TMP0001", "table"),
            DeltaPayload("data\\world.dat", WorldBefore(), WorldAfter()), readme,
            Section(":CommandsToExecute",
                    pkgbuild::CommandsSection({{0x02, "tools\\setup.exe", "x"}})),
            List(":FilesToRemove", {"obsolete.txt", "empty"}),
            Section(":RegistryTable", pkgbuild::RegistryTableSection({
                                          {1, 0, "SOFTWARE\\Quellmar\\Game", 2, "Version", "1.1"},
                                          {1, 1, "Software\\Quellmar\\Settings", 1, "Volume", "7"},
                                      }))});
}

// Every value of the store by "[key]name"; the store must read back whole.
std::map<std::string, std::string> StoreValues(const std::string& text) {
    std::map<std::string, std::string> values;
    std::string key;
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); ++lines) {
        size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end;
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() > 1 && line.front() == '[' && line.back() == ']') {
            key = line;
        } else if (!line.empty() && (line.front() == '"' || line.front() == '@')) {
            const size_t equals = line.find(line.front() == '@' ? "=" : "\"=");
            EXPECT_NE(equals, std::string::npos) << line;
            values[key + line.substr(0, equals + 1)] = line.substr(equals + 1);
        } else {
            EXPECT_TRUE(line.empty() || (lines == 0 && line.find("REGEDIT4") != std::string::npos))
                << "a line of no kind in the store: " << line;
        }
    }
    return values;
}

// The installation's state as the checks compare it: its files, and its registry store with
// the installation folder shown as "<game>".
struct State {
    Tree files;
    std::string store;
    bool operator==(const State&) const = default;
};
State StateOf(const Installation& install) {
    std::string store = test::Read(install.RegistryFile()).value_or("");
    for (size_t at; (at = store.find(install.Folder())) != std::string::npos;) {
        store.replace(at, install.Folder().size(), "<game>");
    }
    return State{test::Snapshot(install.Folder()), store};
}

// The installation before the package: its files, and its registry store made through the
// backend, or (`store`, as StateOf shows it) written straight, saving the syncs of each write.
void Prepare(const Installation& install, std::string store = "") {
    install.Put(kBefore);
    if (store.empty()) {
        install.Register();
        install.Set("Version", platform::kRegSz, std::string("1.0", 4));
        return;
    }
    for (size_t at; (at = store.find("<game>")) != std::string::npos;) {
        store.replace(at, 6, install.Folder());
    }
    test::Write(install.RegistryFile(), store);
    test::Write(install.RegistryFile() + ".lock", "");
}

// Answers the opening message and, after a stamped run, the version gate.
constexpr char kAnswers[] = "\n\n";

// The phase a call falls in, told by the last text the run had printed before it.
std::string Phase(const std::string& transcript) {
    if (transcript.empty()) {
        return "discovery";
    }
    const size_t last = transcript.rfind('\n', transcript.size() - 2);
    const std::string line = transcript.substr(last == std::string::npos ? 0 : last + 1);
    const std::string updating = "Обновляем файл ";
    if (line.rfind(updating, 0) == 0) {
        return "file " + line.substr(updating.size(), line.size() - updating.size() - 5);
    }
    if (line == "(OK/Cancel) > \n") {
        return "name table and folders";
    }
    if (line == "(OK) > \n") {
        return "after the commands";
    }
    if (line == kCompleted) {
        return "stamp";
    }
    const std::string lastFile = "(<game>\\" + kPayload[std::size(kPayload) - 1].shown + ")\n";
    return line == lastFile ? "after the files" : "between files";
}

// A case that a single fault may make within the rules of the apply sequence.
struct Allowed {
    FallibleCall call;
    const char* phase;      // a glob over Phase()
    const char* deviation;  // a glob over what Compare tells
    const char* why;
};

const Allowed kAllowed[] = {
    // Nothing changes before the files; a run that stops there says so or asks nothing more.
    {FallibleCall::RegistryOpen, "discovery", "not found", "the installation cannot be read"},
    {FallibleCall::RegistryRead, "discovery", "not found", "the installation cannot be read"},
    {FallibleCall::Allocate, "discovery", "not found", "no room for a section or a field"},
    {FallibleCall::View, "discovery", "not found", "a section cannot be read"},
    {FallibleCall::Allocate, "discovery", "stopped at the opening message",
     "an opening message that cannot be loaded counts as declined"},
    // Control sections that cannot be loaded fail their phase without a text of their own.
    {FallibleCall::Allocate, "name table and folders", "no file replaced, not stamped",
     "without the name table no payload file is placed"},
    {FallibleCall::Allocate, "name table and folders", "folder * missing, not stamped",
     "the folder list cannot be loaded"},
    {FallibleCall::Allocate, "after the files", "* not removed, not stamped",
     "the removal list cannot be loaded"},
    {FallibleCall::Allocate, "after the files", "registry * not written, not stamped",
     "the registry table cannot be loaded"},
    // Outcomes the sequence does not examine, by design.
    {FallibleCall::FolderCreate, "name table and folders", "folder * missing",
     "folder creation is not examined"},
    {FallibleCall::FolderCreate, "file *", "folder * missing",
     "a new file whose folder cannot be made fails, and its folder is missing with it"},
    {FallibleCall::Delete, "file *", "backup * left",
     "a backup that cannot be deleted after its file was written stays"},
    {FallibleCall::Delete, "after the files", "* not removed", "removals are not examined"},
    {FallibleCall::FolderRemove, "after the files", "* not removed", "removals are not examined"},
    {FallibleCall::RegistryRead, "after the files", "registry * not written",
     "the registry table's writes are not examined"},
    {FallibleCall::RegistryWrite, "after the files", "registry * not written",
     "the registry table's writes are not examined"},
    {FallibleCall::Allocate, "after the files", "registry * not written",
     "a key that cannot be had is passed over like one that cannot be opened"},
    {FallibleCall::RegistryOpen, "stamp", "completed, not stamped", "a lost stamp goes unreported"},
    {FallibleCall::RegistryRead, "stamp", "completed, not stamped", "a lost stamp goes unreported"},
    {FallibleCall::RegistryWrite, "stamp", "completed, not stamped",
     "a lost stamp goes unreported"},
    {FallibleCall::Allocate, "stamp", "completed, not stamped", "a lost stamp goes unreported"},
    // A status text whose buffer cannot be had is not shown; nothing else changes.
    {FallibleCall::Allocate, "file *", "no text for *", "the status buffer cannot be had"},
    {FallibleCall::Allocate, "after the files", "completed not shown",
     "the status buffer cannot be had"},
};

bool Matches(const char* pattern, const std::string& text) {
    return fnmatch(pattern, text.c_str(), 0) == 0;
}

std::string Join(const Deviations& deviations) {
    std::string text;
    for (const std::string& deviation : deviations) {
        text += (text.empty() ? "" : "; ") + deviation;
    }
    return text;
}

// Checks what must hold after any run (failing the test where it does not), and tells how the
// run fell short of a clean install where the rules allow it.
Deviations Compare(const RunResult& run, const State& before, const State& clean,
                   const State& after, bool stamped) {
    Deviations deviations;
    const auto value = [](const Tree& tree, const std::string& path) {
        const auto found = tree.find(path);
        return found == tree.end() ? std::string("(none)") : found->second;
    };
    const bool failureShown =
        Count(run.transcript, kUpdateError) > 0 || Count(run.transcript, kCommandError) > 0;
    std::set<std::string> payloadPaths;
    size_t replaced = 0;
    for (const PayloadFile& file : kPayload) {
        payloadPaths.insert(file.path);
        const std::string now = value(after.files, file.path);
        const std::string target = "<game>\\" + file.shown;
        EXPECT_TRUE(now == value(before.files, file.path) || now == value(clean.files, file.path))
            << file.path << " lost: neither its old nor its new content";
        const bool isNew = now == value(clean.files, file.path);
        replaced += isNew;
        const bool error = Count(run.transcript, kUpdateError + "(" + target + ")\n") > 0;
        const bool updated = Count(run.transcript, Updated(target)) > 0;
        EXPECT_FALSE(updated && !isNew) << file.path << " said to be updated";
        EXPECT_FALSE(error && isNew) << file.path << " said to have failed";
        if (!isNew && !error && Count(run.transcript, Updating(file.shown)) > 0) {
            ADD_FAILURE() << file.path << " kept its old content without a word";
        }
        if (Count(run.transcript, Updating(file.shown)) > 0 && !error && !updated) {
            deviations.insert("no text for " + file.shown);
        }
    }
    // Everything else is as before or as after a clean install.
    std::set<std::string> paths;
    for (const State* state : {&before, &clean, &after}) {
        for (const auto& [path, content] : state->files) {
            paths.insert(path);
        }
    }
    for (const std::string& path : paths) {
        const std::string now = value(after.files, path);
        if (payloadPaths.count(path) != 0 || now == value(clean.files, path)) {
            continue;
        }
        const std::string original = path.size() > 4 ? path.substr(0, path.size() - 4) : "";
        if (path.size() > 4 && path.substr(path.size() - 4) == ".bak" &&
            now == value(before.files, original)) {
            deviations.insert("backup " + path + " left");
        } else if (now == value(before.files, path) && before.files.count(path) != 0) {
            deviations.insert(path + " not removed");
        } else if (now == value(before.files, path) && now == "(none)" &&
                   value(clean.files, path) == "/") {
            deviations.insert("folder " + path + " missing");
        } else {
            ADD_FAILURE() << path << " is " << now << ", neither as before nor as after";
        }
    }
    // The registry store reads whole; each value is old or new.
    const auto beforeValues = StoreValues(before.store);
    const auto cleanValues = StoreValues(clean.store);
    const auto afterValues = StoreValues(after.store);
    std::set<std::string> names;
    for (const auto* values : {&beforeValues, &cleanValues, &afterValues}) {
        for (const auto& [name, data] : *values) {
            names.insert(name);
        }
    }
    for (const std::string& name : names) {
        const auto now = afterValues.find(name);
        const auto old = beforeValues.find(name);
        const auto wanted = cleanValues.find(name);
        const std::string nowText = now == afterValues.end() ? "(none)" : now->second;
        const std::string oldText = old == beforeValues.end() ? "(none)" : old->second;
        const std::string newText = wanted == cleanValues.end() ? "(none)" : wanted->second;
        if (nowText == newText || name.find("\"PatchLevel\"") != std::string::npos) {
            continue;
        }
        EXPECT_EQ(nowText, oldText) << name << " is neither old nor new";
        deviations.insert("registry " + name + " not written");
    }
    // The failure flag keeps the stamp and the closing text away; no text claims success
    // that did not happen.
    const bool completed = Count(run.transcript, kCompleted) > 0;
    if (failureShown) {
        EXPECT_FALSE(stamped) << "stamped after a failure";
        EXPECT_FALSE(completed) << "success shown after a failure";
    } else if (run.transcript.find(kNotFound) != std::string::npos) {
        EXPECT_FALSE(stamped);
        EXPECT_EQ(after, before) << "a run that found no installation changed it";
        return {"not found"};
    } else if (!run.waitForUser) {
        EXPECT_FALSE(stamped);
        EXPECT_EQ(after, before) << "a declined run changed the installation";
        return {"stopped at the opening message"};
    } else if (completed && !stamped) {
        deviations.insert("completed, not stamped");
    } else if (!completed && stamped) {
        deviations.insert("completed not shown");
    } else if (!stamped) {
        // A phase failed without a text: the deviations it made carry the fact.
        Deviations marked;
        for (const std::string& deviation : deviations) {
            marked.insert(deviation + ", not stamped");
        }
        if (replaced == 0) {
            marked = {"no file replaced, not stamped"};
        }
        EXPECT_FALSE(marked.empty()) << "not stamped, though nothing failed";
        return marked;
    }
    return deviations;
}

std::vector<FallibleCall> countedCalls;
std::vector<std::string> countedPhases;
void ObserveCall(uint64_t, FallibleCall call) {
    countedCalls.push_back(call);
    countedPhases.push_back(Phase(TranscriptSoFar()));
}

void RecordNothing(const std::string&, const std::vector<std::string>&, const std::string&) {}

TEST(Faults, EveryCallFailingInTurnLosesNothing) {
    platform::posix::RecordStartsForTesting(RecordNothing);
    platform::posix::SetViewWindowForTesting(4096);
    const pkgbuild::Package package = FaultPackage();

    // The backend keeps view buffers from run to run: after a first run every run starts with
    // the same ones, and so makes the same calls.
    {
        Installation warmUp;
        Prepare(warmUp);
        warmUp.Run(package, kAnswers);
    }
    // The clean install, counting the calls and the phase each falls in.
    Installation cleanInstall;
    Prepare(cleanInstall);
    const State before = StateOf(cleanInstall);
    countedCalls.clear();
    countedPhases.clear();
    platform::posix::FaultReport counted;
    const RunResult cleanRun =
        cleanInstall.Run(package, kAnswers,
                         {[] { platform::posix::FailCallForTesting(0, ObserveCall); },
                          [&counted] { counted = platform::posix::StopFailingCallsForTesting(); }});
    const State clean = StateOf(cleanInstall);
    ASSERT_EQ(cleanInstall.InstalledLevel(), 1);
    ASSERT_EQ(Count(cleanRun.transcript, kCompleted), 1u);
    ASSERT_EQ(counted.calls, countedCalls.size());
    ASSERT_FALSE(counted.failed);
    // The package reaches every kind of call (Open through the delta's old file).
    const std::set<FallibleCall> kinds(countedCalls.begin(), countedCalls.end());
    EXPECT_EQ(kinds.size(), size_t(FallibleCall::Allocate) + 1);

    std::set<const Allowed*> used;
    for (uint64_t k = 1; k <= counted.calls; ++k) {
        const FallibleCall call = countedCalls[k - 1];
        const std::string& phase = countedPhases[k - 1];
        SCOPED_TRACE(testing::Message() << "call " << k << " of " << counted.calls << ": "
                                        << FallibleCallName(call) << " in " << phase);
        Installation install;
        Prepare(install, before.store);
        ASSERT_EQ(StateOf(install), before);
        platform::posix::FaultReport report;
        const RunResult run =
            install.Run(package, kAnswers,
                        {[k] { platform::posix::FailCallForTesting(k); },
                         [&report] { report = platform::posix::StopFailingCallsForTesting(); }});
        ASSERT_TRUE(report.failed);
        ASSERT_EQ(report.failedCall, call) << "the run before the fault took another path";
        const Deviations deviations =
            Compare(run, before, clean, StateOf(install), install.InstalledLevel() == 1);
        for (const std::string& deviation : deviations) {
            const Allowed* allowed = nullptr;
            for (const Allowed& row : kAllowed) {
                if (row.call == call && Matches(row.phase, phase) &&
                    Matches(row.deviation, deviation)) {
                    allowed = &row;
                    break;
                }
            }
            EXPECT_NE(allowed, nullptr) << "not allowed: " << deviation;
            used.insert(allowed);
        }
        // Each write of the store replaced it whole: no temporary file stays.
        EXPECT_EQ(test::Snapshot(install.RegistryFolder(), "registry.reg"),
                  Tree({{"registry.reg.lock", ""}}));
        // The same package again, without faults, ends like a clean install.
        install.Run(package, kAnswers);
        EXPECT_EQ(StateOf(install), clean) << "after " << Join(deviations);
    }
    for (const Allowed& row : kAllowed) {
        EXPECT_EQ(used.count(&row), 1u) << "never seen: " << FallibleCallName(row.call) << " in "
                                        << row.phase << ": " << row.deviation;
    }
    platform::posix::SetViewWindowForTesting(0);
    platform::posix::RecordStartsForTesting(nullptr);
}

}  // namespace
