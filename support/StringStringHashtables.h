#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One entry of a bucket chain. Owned by its table.
class THashEntry
{
public:
    THashEntry(const std::string &key, const std::string &value) : Key(key), Value(value) {}

    const std::string &GetKey() const { return Key; }
    const std::string &GetValue() const { return Value; }
    void SetValue(const std::string &value) { Value = value; }

    const std::string Key;
    std::string Value;
    std::unique_ptr<THashEntry> Next;
};

// One chain head per bucket; an empty slot holds none.
using THashEntryTable = std::vector<std::unique_ptr<THashEntry>>;

// The string hash of the table: 32-bit words of the bytes and their
// terminating zero, then the tail bytes one at a time. "" -> 0, "ab" -> 3299.
int32_t HashString(const std::string &s);

// Frees every entry of every chain, walking each chain iteratively so a long
// chain cannot exhaust the stack.
void FreeEntryChains(THashEntryTable &buckets);

class tHashTableIterator;

// A fail-fast iterator over a map: any change of the map other than through
// the iterator's own RemoveCurrent makes every further use raise.
class tMapIterator
{
public:
    virtual ~tMapIterator() = default;

    virtual void Next() = 0;
    virtual void RemoveCurrent() = 0;
    virtual bool HasNext() = 0;
    virtual std::string GetKey() = 0;
    virtual std::string GetValue() = 0;
    virtual bool IsEntryValid() = 0;
    virtual void SetValue(const std::string &value) = 0;
    virtual bool IsValid() = 0;
};

// A chained hash table from string keys to string values. Grows by half plus
// three buckets when the load factor passes three quarters; never shrinks.
class tHashTable
{
public:
    explicit tHashTable(int initialBuckets);
    virtual ~tHashTable();
    tHashTable(const tHashTable &) = delete;
    tHashTable &operator=(const tHashTable &) = delete;

    int BucketIndex(const std::string &key) const;

    virtual void Rehash(int newSize);
    virtual void Grow();
    virtual void Put(const std::string &key, const std::string &value);
    virtual std::unique_ptr<tHashTableIterator> CreateIterator();
    virtual bool ContainsKey(const std::string &key);
    virtual bool ContainsValue(const std::string &value);
    virtual std::string Get(const std::string &key);
    virtual bool AddOrReplace(const std::string &key, const std::string &value);
    virtual std::string Remove(const std::string &key);
    virtual int Count();
    virtual void Clear();

    int BucketCount() const { return static_cast<int>(FBuckets.size()); }
    int32_t Version() const { return FVersion; }

private:
    friend class tHashTableIterator;

    void BumpVersion();

    THashEntryTable FBuckets;
    int32_t FVersion = 0;
    int32_t FCount = 0;
};

class tHashTableIterator : public tMapIterator
{
public:
    explicit tHashTableIterator(tHashTable &table);

    void Next() override;
    void RemoveCurrent() override;
    bool HasNext() override;
    std::string GetKey() override;
    std::string GetValue() override;
    bool IsEntryValid() override;
    void SetValue(const std::string &value) override;
    bool IsValid() override;

private:
    void CheckValid();
    void Advance();
    bool EntryValid() const;

    int BucketNo = 0;
    THashEntry *Current = nullptr;
    int32_t ExpectedVersion = 0;
    bool JustRemoved = false;
    int Position = 0;
    tHashTable &Table;
};
