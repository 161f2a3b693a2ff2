// Sequences of table and iterator operations on tHashTable, checked against
// std::unordered_map: contents, Count, the bucket count's growth, when an
// iterator stays valid, and that a pass visits every entry exactly once.

#include "Exceptions.h"
#include "FuzzSupport.h"
#include "StringStringHashtables.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using TModel = std::unordered_map<std::string, std::string>;

// The hash as the table defines it: little-endian words of the bytes and their
// terminating zero, then the remaining bytes one at a time.
std::int32_t ReferenceHash(const std::string &s)
{
    std::string bytes = s;
    bytes += '\0';
    const size_t words = bytes.size() / 4;
    std::uint32_t h = 0;
    for (size_t i = 0; i < words; ++i) {
        std::uint32_t w = 0;
        for (int b = 3; b >= 0; --b)
            w = w << 8 | static_cast<unsigned char>(bytes[4 * i + static_cast<size_t>(b)]);
        h = (h * 9 + static_cast<std::uint32_t>(i)) ^ w;
    }
    for (size_t k = 4 * words; k < s.size(); ++k)
        h = h * 33 + static_cast<unsigned char>(s[k]);
    return static_cast<std::int32_t>(h);
}

// One iterator and what the model knows about it.
struct TTrackedIterator
{
    std::unique_ptr<tHashTableIterator> It;
    bool Valid = true;
    std::set<std::string> Snapshot; // keys when created; only its own removals change the table since
    std::set<std::string> Visited;  // keys it has stood on
    bool OnEntry = false;
    bool JustRemoved = false;
    std::string CurrentKey;
};

std::string PickKey(FuzzedDataProvider &fdp, const TModel &model)
{
    // Mostly keys from a small set, so hits, misses and collisions all happen.
    static const char *const Common[] = {"",    "w_id", "symbol", "a",    "ab",
                                         "abc", "abcd", "abcde",  "W_ID", "last"};
    switch (fdp.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return Common[fdp.ConsumeIntegralInRange<size_t>(0, std::size(Common) - 1)];
    case 1:
        if (!model.empty()) {
            auto it = model.begin();
            std::advance(it, fdp.ConsumeIntegralInRange<size_t>(0, model.size() - 1));
            return it->first;
        }
        return "k";
    case 2:
        return "k" + std::to_string(fdp.ConsumeIntegralInRange<int>(0, 40));
    default:
        return fdp.ConsumeRandomLengthString(12);
    }
}

void ExpectInvalid(TTrackedIterator &t, int operation, FuzzedDataProvider &fdp)
{
    try {
        switch (operation) {
        case 0:
            t.It->Next();
            break;
        case 1:
            t.It->RemoveCurrent();
            break;
        case 2:
            t.It->HasNext();
            break;
        case 3:
            t.It->GetKey();
            break;
        case 4:
            t.It->GetValue();
            break;
        case 5:
            t.It->IsEntryValid();
            break;
        default:
            t.It->SetValue(fdp.ConsumeRandomLengthString(8));
            break;
        }
    } catch (const Exception &e) {
        FUZZ_CHECK(e.Message() == "Iterator no longer valid",
                   "wrong error for an invalid iterator: " + e.Message());
        return;
    }
    FUZZ_CHECK(false, "an invalidated iterator was used without an error");
}

class THarness
{
public:
    explicit THarness(FuzzedDataProvider &fdp) : Fdp(fdp), Table(fdp.ConsumeIntegralInRange<int>(0, 5)) {}

    void Run()
    {
        ExpectedBuckets = Table.BucketCount();
        int steps = 0;
        while (Fdp.remaining_bytes() > 0 && ++steps < 400) {
            Step();
            CheckTable();
        }
        // A full pass that removes some entries, then the same pass again.
        FullPass(true);
        FullPass(false);
    }

private:
    void Changed()
    {
        for (TTrackedIterator &t : Iterators)
            t.Valid = false;
    }

    void Step()
    {
        switch (Fdp.ConsumeIntegralInRange<int>(0, 13)) {
        case 0:
        case 1: {
            const std::string key = PickKey(Fdp, Model);
            const std::string value = Fdp.ConsumeRandomLengthString(10);
            const bool isNew = !Model.count(key);
            if (Fdp.ConsumeBool()) {
                Table.Put(key, value);
            } else {
                FUZZ_CHECK(Table.AddOrReplace(key, value) == isNew, "AddOrReplace result");
            }
            Model[key] = value;
            if (isNew) {
                Changed();
                if (ExpectedBuckets * 3 < static_cast<int>(Model.size()) * 4)
                    ExpectedBuckets = ExpectedBuckets * 3 / 2 + 3;
            }
            break;
        }
        case 2: {
            const std::string key = PickKey(Fdp, Model);
            const auto found = Model.find(key);
            FUZZ_CHECK(Table.Get(key) == (found == Model.end() ? std::string() : found->second), "Get");
            FUZZ_CHECK(Table.ContainsKey(key) == (found != Model.end()), "ContainsKey");
            break;
        }
        case 3: {
            const std::string value = Fdp.ConsumeBool() && !Model.empty() ? Model.begin()->second
                                                                          : Fdp.ConsumeRandomLengthString(10);
            bool expected = false;
            for (const auto &[k, v] : Model)
                expected = expected || v == value;
            FUZZ_CHECK(Table.ContainsValue(value) == expected, "ContainsValue");
            break;
        }
        case 4: {
            const std::string key = PickKey(Fdp, Model);
            const auto found = Model.find(key);
            const std::string expected = found == Model.end() ? std::string() : found->second;
            const std::int32_t version = Table.Version();
            FUZZ_CHECK(Table.Remove(key) == expected, "Remove result");
            if (found != Model.end()) {
                Model.erase(found);
                Changed();
            } else {
                FUZZ_CHECK(Table.Version() == version, "Remove of a missing key changed the version");
            }
            break;
        }
        case 5:
            if (Fdp.ConsumeIntegralInRange<int>(0, 3) == 0) {
                Table.Clear();
                Model.clear();
                Changed();
            }
            break;
        case 6: {
            const int size = Fdp.ConsumeIntegralInRange<int>(Model.empty() ? 0 : 1, 64);
            Table.Rehash(size);
            ExpectedBuckets = size;
            Changed();
            break;
        }
        case 7:
            // Each growth adds half: a bounded number keeps the table small.
            if (ExpectedBuckets > 5000)
                break;
            Table.Grow();
            ExpectedBuckets = ExpectedBuckets * 3 / 2 + 3;
            Changed();
            break;
        case 8:
            if (Iterators.size() < 6) {
                TTrackedIterator t;
                t.It = Table.CreateIterator();
                for (const auto &[k, v] : Model)
                    t.Snapshot.insert(k);
                Iterators.push_back(std::move(t));
                Arrive(Iterators.back());
            }
            break;
        default:
            if (!Iterators.empty())
                IteratorStep(Iterators[Fdp.ConsumeIntegralInRange<size_t>(0, Iterators.size() - 1)]);
            break;
        }
    }

    // The iterator has just moved: it stands on an entry it has not visited,
    // or past the end once every entry of its snapshot was visited.
    void Arrive(TTrackedIterator &t)
    {
        const bool entry = t.It->IsEntryValid();
        if (t.Visited.size() == t.Snapshot.size()) {
            FUZZ_CHECK(!entry, "iterator stands on an entry after visiting all of them");
            t.OnEntry = false;
            return;
        }
        FUZZ_CHECK(entry, "iterator ended before visiting every entry");
        const std::string key = t.It->GetKey();
        FUZZ_CHECK(t.Snapshot.count(key), "iterator stands on a key the table did not hold");
        FUZZ_CHECK(t.Visited.insert(key).second, "iterator visited a key twice: " + key);
        t.OnEntry = true;
        t.CurrentKey = key;
    }

    void IteratorStep(TTrackedIterator &t)
    {
        const int operation = Fdp.ConsumeIntegralInRange<int>(0, 7);
        if (operation == 7) {
            FUZZ_CHECK(t.It->IsValid() == t.Valid, "IsValid");
            return;
        }
        if (!t.Valid) {
            ExpectInvalid(t, operation, Fdp);
            return;
        }
        FUZZ_CHECK(t.It->IsValid(), "iterator invalid without a change of the table");
        const bool more = t.Visited.size() < t.Snapshot.size();
        switch (operation) {
        case 0:
            if (t.JustRemoved) {
                t.It->Next();
                t.JustRemoved = false;
                Arrive(t);
            } else if (t.OnEntry) {
                t.It->Next();
                Arrive(t);
            } else {
                t.It->Next();
                FUZZ_CHECK(!t.It->IsEntryValid(), "Next past the end moved the iterator");
            }
            break;
        case 1:
            if (t.OnEntry && !t.JustRemoved) {
                t.It->RemoveCurrent();
                Model.erase(t.CurrentKey);
                for (TTrackedIterator &other : Iterators)
                    if (&other != &t)
                        other.Valid = false;
                t.JustRemoved = true;
                t.OnEntry = false;
                FUZZ_CHECK(t.It->IsValid(), "RemoveCurrent invalidated its own iterator");
                FUZZ_CHECK(!t.It->IsEntryValid(), "entry still valid after RemoveCurrent");
            } else {
                const int count = Table.Count();
                t.It->RemoveCurrent();
                FUZZ_CHECK(Table.Count() == count, "RemoveCurrent without an entry removed one");
            }
            break;
        case 2:
            FUZZ_CHECK(t.It->HasNext() == more, "HasNext");
            break;
        case 3:
            FUZZ_CHECK(t.It->GetKey() == (t.OnEntry ? t.CurrentKey : std::string()), "iterator GetKey");
            break;
        case 4:
            FUZZ_CHECK(t.It->GetValue() == (t.OnEntry ? Model.at(t.CurrentKey) : std::string()),
                       "iterator GetValue");
            break;
        case 5:
            FUZZ_CHECK(t.It->IsEntryValid() == t.OnEntry, "IsEntryValid");
            break;
        default: {
            const std::string value = Fdp.ConsumeRandomLengthString(8);
            try {
                t.It->SetValue(value);
                FUZZ_CHECK(t.OnEntry, "SetValue without an entry succeeded");
                Model[t.CurrentKey] = value;
            } catch (const Exception &e) {
                FUZZ_CHECK(!t.OnEntry, "SetValue on an entry failed: " + e.Message());
                FUZZ_CHECK(e.Message() == "The entry is not valid", "wrong SetValue error: " + e.Message());
            }
            break;
        }
        }
    }

    void CheckTable()
    {
        FUZZ_CHECK(Table.Count() == static_cast<int>(Model.size()), "Count differs from the model");
        FUZZ_CHECK(Table.BucketCount() == ExpectedBuckets,
                   "bucket count " + std::to_string(Table.BucketCount()) + ", expected " +
                       std::to_string(ExpectedBuckets));
    }

    void FullPass(bool removeSome)
    {
        auto it = Table.CreateIterator();
        std::set<std::string> seen;
        while (it->IsEntryValid()) {
            const std::string key = it->GetKey();
            FUZZ_CHECK(seen.insert(key).second, "full pass visited a key twice");
            FUZZ_CHECK(Model.count(key) && Model.at(key) == it->GetValue(), "full pass value differs");
            FUZZ_CHECK(Table.BucketIndex(key) ==
                           static_cast<int>((ReferenceHash(key) < 0
                                                 ? 0u - static_cast<std::uint32_t>(ReferenceHash(key))
                                                 : static_cast<std::uint32_t>(ReferenceHash(key))) %
                                            static_cast<std::uint32_t>(Table.BucketCount())),
                       "bucket index");
            FUZZ_CHECK(HashString(key) == ReferenceHash(key), "HashString");
            if (removeSome && Fdp.ConsumeBool()) {
                it->RemoveCurrent();
                Model.erase(key);
                FUZZ_CHECK(it->IsValid(), "pass iterator invalid after its own removal");
            }
            it->Next();
        }
        if (removeSome) {
            // Removed entries count as visited.
            for (const auto &[k, v] : Model)
                FUZZ_CHECK(seen.count(k), "full pass missed a key");
        } else {
            FUZZ_CHECK(seen.size() == Model.size(), "full pass missed a key");
        }
        FUZZ_CHECK(Table.Count() == static_cast<int>(Model.size()), "Count after a pass");
        FUZZ_CHECK(!it->HasNext() && it->GetKey().empty() && it->GetValue().empty(), "iterator past the end");
    }

    FuzzedDataProvider &Fdp;
    tHashTable Table;
    TModel Model;
    int ExpectedBuckets = 0;
    std::vector<TTrackedIterator> Iterators;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider fdp(data, size);
    THarness harness(fdp);
    harness.Run();
    return 0;
}
