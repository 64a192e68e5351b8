// SPDX-License-Identifier: Apache-2.0
// Every operation that writes the keystore, run once for each file operation
// it makes: that operation fails, or the power is cut after it (cleanly, or
// inside the next write). A fresh load afterwards must succeed, find the state
// before the operation or the state after it and never a mix, keep every key
// that was committed, and keep what a successful operation answered. While
// the operation runs, every block it releases is searched for the root
// material and the master keys (alloc_hook.h): no failure path may leave them
// in memory it gives back.
#include <gtest/gtest.h>

#include <filesystem>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>

#include "alloc_hook.h"
#include "keystore_root.h"
#include "keystore_states.h"

using namespace kltest;
using namespace reltest;

namespace {

constexpr size_t kDomainCount = 3;  // 150, 151, 152
constexpr uint32_t kDomain = 151;
constexpr uint32_t kCommittedDomain = 152;
constexpr uint32_t kCommittedId = 4242;
constexpr uint32_t kRegisteredId = 777001;
const unsigned char kPassword[] = "fault loop password";
constexpr uint32_t kPasswordLen = sizeof kPassword - 1;

enum class Start {
    kEqualCopies,
    kStaleStandby,    // a change whose standby write was lost: only the primary has it
    kNoStandby,       // the standby file is gone
    kNewerOnDisk,     // another process committed a change (its standby write lost) since our load
    kDamagedStandby,  // a byte of the standby flipped
    kNoFiles,         // a fresh node
};
enum class Fault {
    kFail,          // half the bytes of a write land (EIO); any other call fails
    kWriteNoSpace,  // as kFail, the write's errno ENOSPC (a device that filled)
    kSyncNoSpace,   // a write lands whole and only its sync fails, ENOSPC
    kSyncIo,        // the same with EIO
    kCut,           // power cut after the call
    kTornCut,       // power cut inside the next write
};

const char *name_of(Start s) {
    switch (s) {
        case Start::kEqualCopies:
            return "equal copies";
        case Start::kStaleStandby:
            return "stale standby";
        case Start::kNoStandby:
            return "no standby";
        case Start::kNewerOnDisk:
            return "newer on disk";
        case Start::kDamagedStandby:
            return "damaged standby";
        case Start::kNoFiles:
            return "no files";
    }
    return "?";
}

const char *name_of(Fault f) {
    switch (f) {
        case Fault::kFail:
            return "op fails";
        case Fault::kWriteNoSpace:
            return "op fails, no space";
        case Fault::kSyncNoSpace:
            return "sync fails, no space";
        case Fault::kSyncIo:
            return "sync fails, EIO";
        case Fault::kCut:
            return "cut after op";
        case Fault::kTornCut:
            return "cut inside next write";
    }
    return "?";
}

struct Outcome {
    unsigned long code = 0;
    uint32_t id = 0;
    bool failedMaking = false;  // the first load failed while it made the keystore
};

// Values of the prepared keystores that the operations refer to.
struct Context {
    KeystoreFiles *ks = nullptr;
    uint32_t inactiveId = 0;  // the first key of kDomain, no longer active
    std::string exportFile;
    std::vector<KeyInfo> exported;  // what exportFile holds, in its order
    Bytes registered = Bytes(48, 0x3c);
    uint64_t opsOfMaking = 0;  // file operations of IvexInitializeEx making a keystore
};

struct Op {
    const char *name;
    std::vector<Start> starts;
    // Runs with the start state loaded, or, when it is the load, unloaded.
    std::function<Outcome(const Context &)> run;
    std::function<bool(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &)> is_after;
    bool isLoad = false;
    // Operations that derive a key at full work factor in every run take
    // fewer fault shapes: the change they end in is the one every other
    // operation makes, and that goes through all three.
    std::vector<Fault> faults = {Fault::kFail,   Fault::kWriteNoSpace, Fault::kSyncNoSpace,
                                 Fault::kSyncIo, Fault::kCut,          Fault::kTornCut};
};

// Whether the fault makes the call fail (as against cutting the power).
bool fails_a_call(Fault f) { return f != Fault::kCut && f != Fault::kTornCut; }

Snapshot with_keys(const Snapshot &s, std::vector<KeyInfo> keys) {
    Snapshot out = s;
    out.keys = std::move(keys);
    return out;
}

bool after_create(const Snapshot &before, const Snapshot &now, const Outcome &out, const Context &) {
    if (now.rootVersion != before.rootVersion || now.keys.size() != before.keys.size() + 1) return false;
    for (size_t i = 0; i < before.keys.size(); ++i) {
        KeyInfo expected = before.keys[i];
        if (expected.domain == kDomain) expected.active = false;
        if (!(now.keys[i] == expected)) return false;
    }
    const KeyInfo &added = now.keys.back();
    return added.domain == kDomain && added.active && added.material.size() == 32 && added.origin == 0 &&
           find_key(before, kDomain, added.id) == nullptr && (out.code != 0 || added.id == out.id);
}

bool after_register(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &c) {
    std::vector<KeyInfo> keys = before.keys;
    keys.push_back({kDomain, kRegisteredId, false, 1, c.registered});
    return now == with_keys(before, keys);
}

bool after_activate(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &c) {
    std::vector<KeyInfo> keys = before.keys;
    for (auto &k : keys)
        if (k.domain == kDomain) k.active = k.id == c.inactiveId;
    return now == with_keys(before, keys);
}

bool after_delete(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &c) {
    std::vector<KeyInfo> keys;
    for (const auto &k : before.keys)
        if (!(k.domain == kDomain && k.id == c.inactiveId)) keys.push_back(k);
    return now == with_keys(before, keys);
}

bool after_root_update(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &) {
    return now.keys == before.keys && now.rootVersion == before.rootVersion + 1;
}

bool after_import(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &c) {
    std::vector<KeyInfo> keys = before.keys;
    for (KeyInfo k : c.exported) {
        k.active = false;
        k.origin = 1;
        keys.push_back(k);
    }
    return now == with_keys(before, keys);
}

bool unchanged(const Snapshot &before, const Snapshot &now, const Outcome &, const Context &) { return now == before; }

// A fresh node's load: one generated, active key in each domain.
bool after_first_load(const Snapshot &, const Snapshot &now, const Outcome &, const Context &) {
    if (now.keys.size() != kDomainCount || now.rootVersion != 1) return false;
    for (size_t i = 0; i < kDomainCount; ++i) {
        const KeyInfo *k = nullptr;
        for (const auto &m : now.keys)
            if (m.domain == kDomains[i].id) k = &m;
        if (k == nullptr || !k->active || k->origin != 0 || k->material.size() != 32) return false;
    }
    return true;
}

const std::vector<Fault> kImportFaults = {Fault::kFail, Fault::kSyncNoSpace, Fault::kCut, Fault::kTornCut};
const std::vector<Fault> kExportFaults = {Fault::kFail};

std::vector<Op> operations() {
    const std::vector<Start> changes = {Start::kEqualCopies, Start::kStaleStandby, Start::kNoStandby,
                                        Start::kNewerOnDisk};
    return {
        {"create", changes,
         [](const Context &) {
             Outcome o;
             o.code = VaqCreateMkEx(kDomain, &o.id);
             return o;
         },
         after_create},
        {"register", changes,
         [](const Context &c) {
             return Outcome{VaqRegisterMkEx(kDomain, kRegisteredId, c.registered.data(),
                                            static_cast<uint32_t>(c.registered.size()))};
         },
         after_register},
        {"activate", changes, [](const Context &c) { return Outcome{VaqActivateMk(kDomain, c.inactiveId)}; },
         after_activate},
        {"delete", changes, [](const Context &c) { return Outcome{VaqRmvMk(kDomain, c.inactiveId)}; }, after_delete},
        {"root-key update", changes, [](const Context &) { return Outcome{VaqUpdateRootKey(nullptr, 0)}; },
         after_root_update},
        {"import",
         {Start::kEqualCopies, Start::kNewerOnDisk},
         [](const Context &c) { return Outcome{VaqImportMkFileEx(c.exportFile.c_str(), kPassword, kPasswordLen)}; },
         after_import,
         false,
         kImportFaults},
        {"export (repairs first)",
         {Start::kStaleStandby},
         [](const Context &c) {
             // An export creates its file new: the last round's goes first.
             std::string out = c.ks->dir + "/keys.out";
             std::filesystem::remove(out);
             return Outcome{VaqExportMkFileEx(out.c_str(), kPassword, kPasswordLen, 0)};
         },
         unchanged,
         false,
         kExportFaults},
        {"check with repair",
         {Start::kStaleStandby, Start::kNoStandby, Start::kDamagedStandby},
         [](const Context &) {
             uint32_t good = 0;
             return Outcome{VaqCheckKeyStore(1, &good), good};
         },
         unchanged},
        {"load with repair",
         {Start::kStaleStandby, Start::kNoStandby, Start::kDamagedStandby},
         [](const Context &c) { return Outcome{load(*c.ks, kDomainCount)}; },
         unchanged,
         true},
        {"first load of a fresh keystore",
         {Start::kNoFiles},
         [](const Context &c) {
             // The load makes the keystore; the domains and their first
             // keys are changes made after it, each answered on its own.
             const uint64_t opsBefore = file_ops();
             Outcome o{load(*c.ks, kDomainCount)};
             o.failedMaking = o.code != 0 && file_ops() - opsBefore <= c.opsOfMaking;
             return o;
         },
         after_first_load,
         true},
    };
}

// Runs of one (operation, start, fault) loop, by what the fresh load found.
struct Figures {
    int runs = 0;
    int before = 0;
    int after = 0;
    int answeredZero = 0;
    int failedButAfter = 0;
};

// Over every loop: for each answer, how often the fresh load found the state
// before and the state after (docs/reliability.md's table of answers).
struct AnswerFigures {
    int before = 0;
    int after = 0;
};

class IoFaults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        host_table();
        reset_faults();
    }
    static void TearDownTestSuite() {
        std::printf(
            "\nfault loop figures (runs: fresh load found before / after; "
            "answered 0; answered failure but after)\n");
        int total = 0;
        for (const auto &[key, f] : figures_) {
            std::printf("  %-34s %-16s %-22s %4d runs: %4d / %4d; %4d; %d\n", std::get<0>(key).c_str(),
                        std::get<1>(key).c_str(), std::get<2>(key).c_str(), f.runs, f.before, f.after, f.answeredZero,
                        f.failedButAfter);
            total += f.runs;
        }
        std::printf("  total: %d runs\n", total);
        std::printf("answers of the key changes whose fault failed a call (answer: fresh load found before / after)\n");
        for (const auto &[code, f] : answers_) std::printf("  %5lu: %4d / %4d\n", code, f.before, f.after);
    }

    void SetUp() override {
        reset_faults();
        reset_counters();
        ctx_.ks = &ks_;
        ASSERT_EQ(load(ks_, kDomainCount), 0u);
        ctx_.inactiveId = keys_of(list_keys(), kDomain).at(0).id;
        uint32_t id = 0;
        ASSERT_EQ(VaqCreateMkEx(kDomain, &id), 0u);
        ASSERT_EQ(unload(), 0u);
        const PairImage base = save_pair(ks_);

        ASSERT_EQ(load(ks_, kDomainCount), 0u);
        Bytes committed(32, 0x42);
        ASSERT_EQ(VaqRegisterMkEx(kCommittedDomain, kCommittedId, committed.data(), 32), 0u);
        ASSERT_EQ(unload(), 0u);
        const PairImage equal = save_pair(ks_);
        PairImage stale = equal;
        stale.standby = base.standby;
        PairImage noStandby = equal;
        noStandby.standbyExists = false;
        PairImage damaged = equal;
        damaged.standby[damaged.standby.size() / 2] ^= 0x20;

        starts_[Start::kEqualCopies] = {equal, equal};
        starts_[Start::kStaleStandby] = {stale, stale};
        starts_[Start::kNoStandby] = {noStandby, noStandby};
        starts_[Start::kNewerOnDisk] = {base, stale};
        starts_[Start::kDamagedStandby] = {damaged, damaged};
        starts_[Start::kNoFiles] = {};

        // How many file operations making a keystore takes, without faults.
        restore_pair(ks_, {});
        reset_counters();
        HX_VAQ_KEYSTORE_FILES files = ks_.files();
        ASSERT_EQ(IvexInitializeEx(0, &files, 0, nullptr), 0u);
        ctx_.opsOfMaking = file_ops();
        ASSERT_EQ(unload(), 0u);
    }
    void TearDown() override {
        reset_faults();
        unload();
    }

    // An export file of another keystore: its first keys and a registered one.
    void make_export() {
        KeystoreFiles other;
        ASSERT_EQ(load(other, kDomainCount), 0u);
        const Bytes material = sound_key_material(77);
        ASSERT_EQ(VaqRegisterMkEx(150, 5001, material.data(), 32), 0u);
        ctx_.exported = list_keys();
        ctx_.exportFile = other.dir + "/keys.export";
        ASSERT_EQ(VaqExportMkFileEx(ctx_.exportFile.c_str(), kPassword, kPasswordLen, 0), 0u);
        ASSERT_EQ(unload(), 0u);
    }

    // The state a start holds on disk, as a load without faults reads it.
    Snapshot state_of(Start start) {
        restore_pair(ks_, starts_[start].onDisk);
        if (start == Start::kNoFiles) return Snapshot{};
        EXPECT_EQ(load(ks_, kDomainCount), 0u);
        Snapshot s = snapshot();
        EXPECT_EQ(unload(), 0u);
        return s;
    }

    void run_loop(const Op &op, Start start, Fault fault);
    void run_loops(const std::string &name);

    // What the process loads before the operation, and what is on disk when
    // the operation runs.
    struct StartImages {
        PairImage loadedFrom;
        PairImage onDisk;
    };
    KeystoreFiles ks_;
    Context ctx_;
    std::map<Start, StartImages> starts_;
    static std::map<std::tuple<std::string, std::string, std::string>, Figures> figures_;
    static std::map<unsigned long, AnswerFigures> answers_;
};

std::map<std::tuple<std::string, std::string, std::string>, Figures> IoFaults::figures_;
std::map<unsigned long, AnswerFigures> IoFaults::answers_;

void arm(Fault fault, uint64_t n) {
    arm_fault(n, fails_a_call(fault), fault == Fault::kTornCut);
    faults().failWriteWhole = fault == Fault::kSyncNoSpace || fault == Fault::kSyncIo;
    faults().failWriteErrno = fault == Fault::kWriteNoSpace || fault == Fault::kSyncNoSpace ? ENOSPC : EIO;
}

void IoFaults::run_loop(const Op &op, Start start, Fault fault) {
    SCOPED_TRACE(std::string(op.name) + ", " + name_of(start) + ", " + name_of(fault));
    const Snapshot before = state_of(start);
    // Of whichever copy is whole at the start (the primary may be damaged).
    restore_pair(ks_, starts_[start].onDisk);
    std::vector<uint8_t> root = tvtest::keystore_root_material(ks_.primary);
    if (root.empty()) root = tvtest::keystore_root_material(ks_.standby, ks_.primary);
    const Bytes rootMaterial(root.begin(), root.end());
    const PairImage &startPair = starts_[start].onDisk;
    if (startPair.primary.size() >= 120 || startPair.standby.size() >= 120) {
        ASSERT_EQ(rootMaterial.size(), 32u) << "the root material to watch for was not found";
    }
    Figures &fig = figures_[{op.name, name_of(start), name_of(fault)}];
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE("file operation " + std::to_string(n));
        ASSERT_LT(n, 1000u) << "the operation never stops making file operations";
        if (!op.isLoad) {
            restore_pair(ks_, starts_[start].loadedFrom);
            ASSERT_EQ(load(ks_, kDomainCount), 0u);
        }
        restore_pair(ks_, starts_[start].onDisk);
        reset_counters();
        for (const auto &k : before.keys)
            alloc::watch_secret(k.material.data(), k.material.size(), "key " + std::to_string(k.id));
        if (rootMaterial.size() == 32) alloc::watch_secret(rootMaterial.data(), 32, "root material");
        arm(fault, n);
        const Outcome out = op.run(ctx_);
        const uint64_t made = file_ops();
        const bool failedWrite = failed_a_write();
        const auto left = alloc::hits();
        alloc::clear_secrets();
        for (const auto &h : left)
            ADD_FAILURE() << h.secret << " left in a released block of " << h.blockBytes << " bytes";
        // What the process was told it now holds.
        const Snapshot seen = out.code == 0 ? snapshot() : Snapshot{};
        reset_faults();
        unload();

        const bool reached = fails_a_call(fault) ? made >= n : made > n;
        if (!reached) {
            EXPECT_EQ(out.code, 0u) << "no fault reached the operation";
            break;
        }
        ++fig.runs;
        fig.answeredZero += out.code == 0;

        clear_log();
        ASSERT_EQ(load(ks_, kDomainCount), 0u) << "the keystore no longer loads";
        // A fresh load that finds no keystore makes one of its own, which is
        // not the state the operation left.
        bool madeAnew = false;
        for (const LogLine &l : log_lines()) madeAnew |= l.message.find("new keystore created") != std::string::npos;
        const Snapshot now = snapshot();
        uint32_t good = 0;
        EXPECT_EQ(VaqCheckKeyStore(0, &good), 0u);
        EXPECT_EQ(good, 3u) << "the fresh load left a copy unrepaired";
        ASSERT_EQ(unload(), 0u);

        if (start != Start::kNoFiles) {
            EXPECT_NE(find_key(now, kCommittedDomain, kCommittedId), nullptr)
                << "a committed key is lost: " << describe(now);
        }
        const bool isBefore = start != Start::kNoFiles ? now == before : madeAnew;
        const bool isAfter = !madeAnew && op.is_after(before, now, out, ctx_);
        EXPECT_TRUE(isBefore || isAfter) << "neither before nor after (answer " << out.code << "): " << describe(now)
                                         << "\nbefore: " << describe(before);
        fig.before += isBefore;
        fig.after += isAfter && !isBefore;
        // A load that could not read the newer copy holds the older one for
        // now; what it holds must still all be on disk.
        if (fails_a_call(fault) && out.code == 0 && !op.isLoad) {
            EXPECT_EQ(now, seen) << "an operation that answered 0 did not last";
        }
        if (fails_a_call(fault) && out.code == 0 && op.isLoad) {
            for (const auto &k : seen.keys) {
                const KeyInfo *kept = find_key(now, k.domain, k.id);
                EXPECT_TRUE(kept && kept->material == k.material) << k.id << " did not last";
            }
        }
        // The answers' promise: 0, the change is made; 2041, it may be on
        // disk; any other failure, no copy holds it. A keystore the first
        // load made is made: 0 or 2041, never a refusal.
        if (fails_a_call(fault) && out.code != 0 && out.code != VAQ_ERR_UNCONFIRMED && !op.isLoad) {
            EXPECT_TRUE(isBefore) << "an operation that answered " << out.code << " was made";
        }
        if (out.code != 0 && isAfter && !isBefore && (!op.isLoad || out.failedMaking)) {
            EXPECT_EQ(out.code, uint32_t{VAQ_ERR_UNCONFIRMED}) << "the change is on disk but the answer denies it";
        }
        // A write that landed whole, whatever its sync answered, is never
        // called one that did not happen.
        if (failedWrite && (fault == Fault::kSyncNoSpace || fault == Fault::kSyncIo)) {
            EXPECT_NE(out.code, uint32_t{VAQ_ERR_NO_SPACE}) << "a sync failure answered as no space written";
            EXPECT_NE(out.code, uint32_t{VAQ_ERR_IO}) << "a sync failure answered as nothing written";
        }
        if (fails_a_call(fault) && !op.isLoad) {
            AnswerFigures &a = answers_[out.code];
            a.before += isBefore;
            a.after += isAfter && !isBefore;
        }
        if (out.code != 0 && isAfter && !isBefore) ++fig.failedButAfter;
    }
}

void IoFaults::run_loops(const std::string &name) {
    for (const Op &op : operations()) {
        if (name != op.name) continue;
        if (name == "import") make_export();
        for (Start start : op.starts) {
            for (Fault fault : op.faults) run_loop(op, start, fault);
        }
        return;
    }
    FAIL() << "no operation " << name;
}

TEST_F(IoFaults, CreateMasterKey) { run_loops("create"); }
TEST_F(IoFaults, RegisterMasterKey) { run_loops("register"); }
TEST_F(IoFaults, ActivateMasterKey) { run_loops("activate"); }
TEST_F(IoFaults, DeleteMasterKey) { run_loops("delete"); }
TEST_F(IoFaults, UpdateRootKey) { run_loops("root-key update"); }
TEST_F(IoFaults, ImportExportFile) { run_loops("import"); }
TEST_F(IoFaults, ExportRepairingFirst) { run_loops("export (repairs first)"); }
TEST_F(IoFaults, CheckWithRepair) { run_loops("check with repair"); }
TEST_F(IoFaults, LoadWithRepair) { run_loops("load with repair"); }
TEST_F(IoFaults, FirstLoadOfAFreshKeystore) { run_loops("first load of a fresh keystore"); }

}  // namespace
