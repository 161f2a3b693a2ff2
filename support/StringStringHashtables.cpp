#include "StringStringHashtables.h"

#include "Exceptions.h"

namespace {

int32_t HashKey(const std::string &key)
{
    return HashString(key);
}

bool KeysEqual(const std::string &a, const std::string &b)
{
    return a == b;
}

bool ValuesEqual(const std::string &a, const std::string &b)
{
    return a == b;
}

std::string EmptyKey()
{
    return std::string();
}

std::string EmptyValue()
{
    return std::string();
}

} // namespace

int32_t HashString(const std::string &s)
{
    const size_t n = s.size();
    const auto *bytes = reinterpret_cast<const unsigned char *>(s.data());
    // Whole little-endian words first; every alert key goes through here
    // several times, so no per-byte bounds check.
    const size_t fullWords = n / 4;
    uint32_t h = 0;
    size_t i = 0;
    for (; i < fullWords; ++i) {
        const unsigned char *p = bytes + i * 4;
        const uint32_t w = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        h = (h * 9 + static_cast<uint32_t>(i)) ^ w;
    }
    if (n % 4 == 3) {
        // The last word ends in the terminating zero; no tail follows it.
        const unsigned char *p = bytes + i * 4;
        const uint32_t w = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
        return static_cast<int32_t>((h * 9 + static_cast<uint32_t>(i)) ^ w);
    }
    for (size_t k = fullWords * 4; k < n; ++k)
        h = h * 33 + bytes[k];
    return static_cast<int32_t>(h);
}

void FreeEntryChains(THashEntryTable &buckets)
{
    for (auto &slot : buckets) {
        std::unique_ptr<THashEntry> entry = std::move(slot);
        while (entry)
            entry = std::move(entry->Next);
    }
}

tHashTable::tHashTable(int initialBuckets)
{
    Assert(initialBuckets >= 0);
    FBuckets.resize(static_cast<size_t>(initialBuckets));
}

tHashTable::~tHashTable()
{
    FreeEntryChains(FBuckets);
}

void tHashTable::BumpVersion()
{
    // Only ever compared for equality, so wrapping is harmless.
    FVersion = static_cast<int32_t>(static_cast<uint32_t>(FVersion) + 1u);
}

int tHashTable::BucketIndex(const std::string &key) const
{
    const int32_t h = HashKey(key);
    // The magnitude as unsigned: 0x80000000 stays 2147483648.
    const uint32_t magnitude = h < 0 ? 0u - static_cast<uint32_t>(h) : static_cast<uint32_t>(h);
    return static_cast<int>(magnitude % static_cast<uint32_t>(FBuckets.size()));
}

void tHashTable::Rehash(int newSize)
{
    // Zero buckets with entries in the table would lose them.
    Assert(newSize >= 1 || (newSize == 0 && FCount == 0));
    THashEntryTable old = std::move(FBuckets);
    FBuckets = THashEntryTable(static_cast<size_t>(newSize));
    BumpVersion();
    for (auto &slot : old) {
        std::unique_ptr<THashEntry> entry = std::move(slot);
        while (entry) {
            std::unique_ptr<THashEntry> rest = std::move(entry->Next);
            auto &head = FBuckets[static_cast<size_t>(BucketIndex(entry->Key))];
            entry->Next = std::move(head);
            head = std::move(entry);
            entry = std::move(rest);
        }
    }
}

void tHashTable::Grow()
{
    Rehash(BucketCount() * 3 / 2 + 3);
}

void tHashTable::Put(const std::string &key, const std::string &value)
{
    AddOrReplace(key, value);
}

std::unique_ptr<tHashTableIterator> tHashTable::CreateIterator()
{
    return std::make_unique<tHashTableIterator>(*this);
}

bool tHashTable::ContainsKey(const std::string &key)
{
    if (FBuckets.empty())
        return false;
    for (THashEntry *e = FBuckets[static_cast<size_t>(BucketIndex(key))].get(); e; e = e->Next.get())
        if (KeysEqual(e->Key, key))
            return true;
    return false;
}

bool tHashTable::ContainsValue(const std::string &value)
{
    for (const auto &slot : FBuckets)
        for (THashEntry *e = slot.get(); e; e = e->Next.get())
            if (ValuesEqual(e->Value, value))
                return true;
    return false;
}

std::string tHashTable::Get(const std::string &key)
{
    if (!FBuckets.empty())
        for (THashEntry *e = FBuckets[static_cast<size_t>(BucketIndex(key))].get(); e; e = e->Next.get())
            if (KeysEqual(e->Key, key))
                return e->Value;
    return EmptyValue();
}

bool tHashTable::AddOrReplace(const std::string &key, const std::string &value)
{
    if (!FBuckets.empty()) {
        // Replacing a value is no structural change: iterators stay valid.
        for (THashEntry *e = FBuckets[static_cast<size_t>(BucketIndex(key))].get(); e; e = e->Next.get())
            if (KeysEqual(e->Key, key)) {
                e->Value = value;
                return false;
            }
    }
    BumpVersion();
    ++FCount;
    if (static_cast<int64_t>(BucketCount()) * 3 < static_cast<int64_t>(FCount) * 4)
        Grow();
    auto entry = std::make_unique<THashEntry>(key, value);
    auto &head = FBuckets[static_cast<size_t>(BucketIndex(key))];
    entry->Next = std::move(head);
    head = std::move(entry);
    return true;
}

std::string tHashTable::Remove(const std::string &key)
{
    std::string result = EmptyValue();
    if (FBuckets.empty())
        return result;
    std::unique_ptr<THashEntry> *link = &FBuckets[static_cast<size_t>(BucketIndex(key))];
    while (*link) {
        if (KeysEqual((*link)->Key, key)) {
            BumpVersion();
            result = (*link)->Value;
            std::unique_ptr<THashEntry> removed = std::move(*link);
            *link = std::move(removed->Next);
            removed.reset();
            --FCount;
            break;
        }
        link = &(*link)->Next;
    }
    return result;
}

int tHashTable::Count()
{
    return FCount;
}

void tHashTable::Clear()
{
    FreeEntryChains(FBuckets);
    for (auto &slot : FBuckets)
        slot.reset();
    FCount = 0;
    BumpVersion();
}

tHashTableIterator::tHashTableIterator(tHashTable &table) : ExpectedVersion(table.FVersion), Table(table)
{
    if (Table.FCount > 0) {
        for (size_t i = 0; i < Table.FBuckets.size(); ++i)
            if (Table.FBuckets[i]) {
                Current = Table.FBuckets[i].get();
                BucketNo = static_cast<int>(i);
                break;
            }
    }
}

void tHashTableIterator::CheckValid()
{
    if (Table.FVersion != ExpectedVersion)
        throw Exception("Iterator no longer valid");
}

void tHashTableIterator::Advance()
{
    if (!Current)
        return;
    Current = Current->Next.get();
    if (Current)
        return;
    for (size_t i = static_cast<size_t>(BucketNo) + 1; i < Table.FBuckets.size(); ++i)
        if (Table.FBuckets[i]) {
            Current = Table.FBuckets[i].get();
            BucketNo = static_cast<int>(i);
            return;
        }
}

bool tHashTableIterator::EntryValid() const
{
    return Current && Position < Table.FCount && !JustRemoved;
}

void tHashTableIterator::Next()
{
    CheckValid();
    if (JustRemoved) {
        // Already standing on the entry after the removed one.
        JustRemoved = false;
        return;
    }
    if (Position < Table.FCount) {
        Advance();
        if (Current)
            ++Position;
    }
}

void tHashTableIterator::RemoveCurrent()
{
    CheckValid();
    if (JustRemoved || !Current)
        return;
    THashEntry *removed = Current;
    const std::string key = removed->Key;
    // Step off the entry before it is freed.
    if (Position < Table.FCount)
        Advance();
    if (Current == removed)
        Current = nullptr;
    Table.Remove(key);
    JustRemoved = true;
    ExpectedVersion = Table.FVersion;
}

bool tHashTableIterator::HasNext()
{
    CheckValid();
    if (Position < Table.FCount - 1)
        return true;
    if (JustRemoved)
        return Position < Table.FCount;
    return false;
}

std::string tHashTableIterator::GetKey()
{
    CheckValid();
    if (JustRemoved || !Current)
        return EmptyKey();
    return Current->Key;
}

std::string tHashTableIterator::GetValue()
{
    CheckValid();
    if (JustRemoved || !Current)
        return EmptyValue();
    return Current->Value;
}

bool tHashTableIterator::IsEntryValid()
{
    CheckValid();
    return EntryValid();
}

void tHashTableIterator::SetValue(const std::string &value)
{
    if (!IsValid())
        throw Exception("Iterator no longer valid");
    if (!EntryValid())
        throw Exception("The entry is not valid");
    Current->Value = value;
}

bool tHashTableIterator::IsValid()
{
    return Table.FVersion == ExpectedVersion;
}
