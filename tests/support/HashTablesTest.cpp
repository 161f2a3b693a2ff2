#include "Exceptions.h"
#include "StringStringHashtables.h"

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// Expects fn to raise the program's exception with exactly this message.
template <typename Fn> void ExpectRaises(Fn fn, const std::string &message)
{
    try {
        fn();
        ADD_FAILURE() << "nothing raised, expected \"" << message << "\"";
    } catch (const Exception &e) {
        EXPECT_EQ(e.Message(), message);
    }
}

// Keys in iteration order, walked with the iterator.
std::vector<std::string> KeysInOrder(tHashTable &table)
{
    std::vector<std::string> keys;
    auto it = table.CreateIterator();
    while (it->IsEntryValid()) {
        keys.push_back(it->GetKey());
        it->Next();
    }
    return keys;
}

// ---- HashString ----

struct HashCase
{
    const char *name;
    std::string text;
    int32_t hash;
};

void PrintTo(const HashCase &c, std::ostream *os)
{
    *os << c.name;
}

class HashStringTest : public ::testing::TestWithParam<HashCase>
{
};

TEST_P(HashStringTest, GivesTheFixedFigure)
{
    EXPECT_EQ(HashString(GetParam().text), GetParam().hash);
}

// Words are little-endian and include the terminating zero when n + 1 is a
// multiple of 4; each word step is h * 9 + i, tail bytes h * 33 + byte.
INSTANTIATE_TEST_SUITE_P(
    Figures, HashStringTest,
    ::testing::Values(HashCase{"Empty", "", 0}, HashCase{"OneByte", "a", 97},
                      HashCase{"TwoBytesNoWholeWord", "ab", 97 * 33 + 98},
                      HashCase{"ThreeBytesWordReadsTheTerminator", "abc", 0x00636261},
                      HashCase{"FourBytesOneWholeWord", "abcd", 0x64636261},
                      HashCase{"FiveBytesOneWordOneTailByte", "abcde",
                               static_cast<int32_t>(0x64636261u * 33u + 'e')},
                      HashCase{"SevenBytesSecondWordIndexed", "abcdefg",
                               static_cast<int32_t>((0x64636261u * 9u + 1u) ^ 0x00676665u)},
                      HashCase{"HighBytesAreUnsigned", "\xff\xff", static_cast<int32_t>(255u * 33u + 255u)},
                      HashCase{"EmbeddedZeroIsAByte", "\0a"s, 97}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Construction and growth ----

TEST(HashTable, ZeroBucketsAnswersLookupsWithoutEntries)
{
    tHashTable table(0);
    EXPECT_EQ(table.BucketCount(), 0);
    EXPECT_EQ(table.Get("w_id"), "");
    EXPECT_FALSE(table.ContainsKey("w_id"));
    EXPECT_FALSE(table.ContainsValue(""));
    EXPECT_EQ(table.Remove("w_id"), "");
    EXPECT_EQ(table.Count(), 0);
    EXPECT_EQ(table.Version(), 0);
}

TEST(HashTable, GrowsThroughTheFixedSequence)
{
    tHashTable table(0);
    // (n, bucket count) whenever adding the n-th distinct key grew the table.
    std::vector<std::pair<int, int>> growth;
    for (int n = 1; n <= 200; ++n) {
        const int before = table.BucketCount();
        table.Put("key" + std::to_string(n), std::to_string(n));
        if (table.BucketCount() != before)
            growth.emplace_back(n, table.BucketCount());
    }
    const std::vector<std::pair<int, int>> expected = {{1, 3},   {3, 7},   {6, 13},   {10, 22},   {17, 36},
                                                       {28, 57}, {43, 88}, {67, 135}, {102, 205}, {154, 310}};
    EXPECT_EQ(growth, expected);
    EXPECT_EQ(table.Count(), 200);
    for (int n = 1; n <= 200; ++n)
        ASSERT_EQ(table.Get("key" + std::to_string(n)), std::to_string(n)) << "lost after rehash";
}

TEST(HashTable, GrowthStartsFromTheGivenBucketCount)
{
    tHashTable table(4);
    for (int n = 1; n <= 3; ++n)
        table.Put(std::to_string(n), "");
    EXPECT_EQ(table.BucketCount(), 4) << "3 entries in 4 buckets is not above three quarters";
    table.Put("4", "");
    EXPECT_EQ(table.BucketCount(), 9);
}

// A 7-byte key hashes to (w0 * 9 + 1) xor w1, where w1 holds bytes 4-6 and
// the terminator; with those bytes zero, w0 = (h - 1) / 9 modulo 2^32.
std::string KeyWithHash(int32_t h)
{
    const uint32_t inverseOf9 = 954437177u; // 9 * 954437177 = 1 (mod 2^32)
    const uint32_t w0 = (static_cast<uint32_t>(h) - 1u) * inverseOf9;
    std::string key(7, '\0');
    for (int b = 0; b < 4; ++b)
        key[b] = static_cast<char>(w0 >> (8 * b));
    return key;
}

struct IndexCase
{
    const char *name;
    int32_t hash;
    int expectedIndexOf7;
};

void PrintTo(const IndexCase &c, std::ostream *os)
{
    *os << c.name;
}

class BucketIndexTest : public ::testing::TestWithParam<IndexCase>
{
};

TEST_P(BucketIndexTest, IsTheUnsignedMagnitudeModuloTheCount)
{
    const std::string key = KeyWithHash(GetParam().hash);
    ASSERT_EQ(HashString(key), GetParam().hash);
    tHashTable table(7);
    EXPECT_EQ(table.BucketIndex(key), GetParam().expectedIndexOf7);
    table.Put(key, "v");
    EXPECT_EQ(table.Get(key), "v");
    EXPECT_EQ(table.Remove(key), "v");
}

INSTANTIATE_TEST_SUITE_P(Hashes, BucketIndexTest,
                         ::testing::Values(IndexCase{"Positive", 3299, 3299 % 7},
                                           IndexCase{"MinusFive", -5, 5}, IndexCase{"MinusOne", -1, 1},
                                           IndexCase{"MostNegative", INT32_MIN, 2}, // 2^31 mod 7
                                           IndexCase{"MostPositive", INT32_MAX, 1}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- Put, AddOrReplace, Get, ContainsKey, ContainsValue, Remove, Clear ----

TEST(HashTable, ReplacingAValueKeepsCountAndVersion)
{
    tHashTable table(0);
    EXPECT_TRUE(table.AddOrReplace("k", "1"));
    const int32_t version = table.Version();
    EXPECT_FALSE(table.AddOrReplace("k", "2"));
    table.Put("k", "3");
    EXPECT_EQ(table.Count(), 1);
    EXPECT_EQ(table.Version(), version);
    EXPECT_EQ(table.Get("k"), "3");
}

TEST(HashTable, KeysAreExactBytes)
{
    tHashTable table(0);
    table.Put("Key", "upper");
    table.Put("key", "lower");
    table.Put("key ", "blank");
    table.Put("", "empty key");
    table.Put("a\0b"s, "with zero");
    EXPECT_EQ(table.Count(), 5);
    EXPECT_EQ(table.Get("Key"), "upper");
    EXPECT_EQ(table.Get("key"), "lower");
    EXPECT_EQ(table.Get("key "), "blank");
    EXPECT_EQ(table.Get(""), "empty key");
    EXPECT_EQ(table.Get("a\0b"s), "with zero");
    EXPECT_EQ(table.Get("a"), "");
    EXPECT_FALSE(table.ContainsKey("KEY"));
}

TEST(HashTable, ContainsKeyTellsAnEmptyValueFromAMissingKey)
{
    tHashTable table(0);
    table.Put("blank", "");
    EXPECT_EQ(table.Get("blank"), "");
    EXPECT_EQ(table.Get("missing"), "");
    EXPECT_TRUE(table.ContainsKey("blank"));
    EXPECT_FALSE(table.ContainsKey("missing"));
}

TEST(HashTable, ContainsValueLooksAtEveryEntry)
{
    tHashTable table(0);
    for (int n = 0; n < 30; ++n)
        table.Put("k" + std::to_string(n), "v" + std::to_string(n));
    for (int n = 0; n < 30; ++n)
        EXPECT_TRUE(table.ContainsValue("v" + std::to_string(n))) << n;
    EXPECT_FALSE(table.ContainsValue("V1"));
    EXPECT_FALSE(table.ContainsValue("k1"));
}

TEST(HashTable, RemoveUnlinksOnlyTheMatchingEntryOfAChain)
{
    // One bucket: every entry is in the same chain; remove middle, tail, head.
    tHashTable chain(100);
    for (const char *k : {"a", "b", "c"})
        chain.Put(k, std::string("v") + k);
    chain.Rehash(1);
    ASSERT_EQ(chain.BucketCount(), 1);
    ASSERT_EQ(KeysInOrder(chain), (std::vector<std::string>{"c", "b", "a"}));
    for (const char *k : {"b", "a", "c"}) {
        const int32_t version = chain.Version();
        const int count = chain.Count();
        EXPECT_EQ(chain.Remove(k), std::string("v") + k);
        EXPECT_EQ(chain.Count(), count - 1);
        EXPECT_NE(chain.Version(), version);
        EXPECT_FALSE(chain.ContainsKey(k));
    }
    EXPECT_EQ(chain.Count(), 0);
}

TEST(HashTable, RemovingAMissingKeyChangesNothing)
{
    tHashTable table(0);
    table.Put("present", "p");
    const int32_t version = table.Version();
    EXPECT_EQ(table.Remove("absent"), "");
    EXPECT_EQ(table.Version(), version);
    EXPECT_EQ(table.Count(), 1);
    EXPECT_EQ(table.Remove("present"), "p");
    EXPECT_EQ(table.Count(), 0);
    EXPECT_EQ(table.Remove("present"), "");
}

TEST(HashTable, ClearKeepsTheBucketCount)
{
    tHashTable table(0);
    for (int n = 0; n < 10; ++n)
        table.Put(std::to_string(n), "x");
    ASSERT_EQ(table.BucketCount(), 22);
    const int32_t version = table.Version();
    table.Clear();
    EXPECT_EQ(table.BucketCount(), 22);
    EXPECT_EQ(table.Count(), 0);
    EXPECT_NE(table.Version(), version);
    EXPECT_FALSE(table.ContainsKey("1"));
    EXPECT_TRUE(KeysInOrder(table).empty());
    table.Put("again", "y");
    EXPECT_EQ(table.Get("again"), "y");
    EXPECT_EQ(table.BucketCount(), 22);
}

TEST(HashTable, RehashToZeroBucketsWithEntriesIsAProgrammingError)
{
    tHashTable table(0);
    table.Put("k", "v");
    EXPECT_THROW(table.Rehash(0), EAssertionFailed);
    EXPECT_EQ(table.Get("k"), "v");
}

TEST(HashTable, LongChainIsFreedWithoutRecursion)
{
    // Every entry in one chain; freeing it must not recurse once per entry.
    tHashTable table(0);
    for (int n = 0; n < 500000; ++n)
        table.Put(std::to_string(n), "");
    table.Rehash(1);
    EXPECT_EQ(table.Count(), 500000);
    EXPECT_EQ(table.Get("499999"), "");
    EXPECT_TRUE(table.ContainsKey("0"));
}

// ---- Iteration ----

TEST(HashTableIterator, EmptyTable)
{
    for (int buckets : {0, 5}) {
        tHashTable table(buckets);
        auto it = table.CreateIterator();
        EXPECT_FALSE(it->IsEntryValid());
        EXPECT_FALSE(it->HasNext());
        EXPECT_EQ(it->GetKey(), "");
        EXPECT_EQ(it->GetValue(), "");
        it->Next();
        it->RemoveCurrent();
        EXPECT_TRUE(it->IsValid());
        ExpectRaises([&] { it->SetValue("x"); }, "The entry is not valid");
    }
}

TEST(HashTableIterator, OrderIsBucketsAscendingNewestFirstInAChain)
{
    tHashTable table(13);
    // Keys 2, 0 and 1 hash to themselves: buckets 2, 0, 1; the third in bucket 1
    // (hash 14) arrives last and so heads its chain.
    const std::string k0 = KeyWithHash(0), k1 = KeyWithHash(1), k2 = KeyWithHash(2), k14 = KeyWithHash(14);
    table.Put(k2, "2");
    table.Put(k0, "0");
    table.Put(k1, "1");
    table.Put(k14, "14");
    ASSERT_EQ(table.BucketCount(), 13);
    std::vector<std::string> values;
    auto it = table.CreateIterator();
    while (it->IsEntryValid()) {
        values.push_back(it->GetValue());
        it->Next();
    }
    EXPECT_EQ(values, (std::vector<std::string>{"0", "14", "1", "2"}));
}

TEST(HashTableIterator, WalksThreeEntries)
{
    tHashTable table(0);
    table.Put("A", "a");
    table.Put("B", "b");
    table.Put("C", "c");
    auto it = table.CreateIterator();
    std::set<std::string> keys;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(it->IsEntryValid()) << i;
        EXPECT_EQ(it->HasNext(), i < 2) << i;
        keys.insert(it->GetKey());
        EXPECT_EQ(table.Get(it->GetKey()), it->GetValue());
        it->Next();
    }
    EXPECT_EQ(keys, (std::set<std::string>{"A", "B", "C"}));
    EXPECT_FALSE(it->IsEntryValid());
    EXPECT_FALSE(it->HasNext());
    EXPECT_EQ(it->GetKey(), "");
    it->Next();
    it->Next();
    EXPECT_FALSE(it->IsEntryValid());
    EXPECT_TRUE(it->IsValid());
}

TEST(HashTableIterator, SetValueReplacesWithoutInvalidating)
{
    tHashTable table(0);
    table.Put("A", "a");
    table.Put("B", "b");
    auto other = table.CreateIterator();
    auto it = table.CreateIterator();
    const std::string key = it->GetKey();
    it->SetValue("changed");
    EXPECT_EQ(table.Get(key), "changed");
    EXPECT_TRUE(other->IsValid());
    EXPECT_EQ(other->GetValue(), "changed");
    it->Next();
    it->Next();
    ExpectRaises([&] { it->SetValue("x"); }, "The entry is not valid");
}

// Every way of changing the table's structure from outside an iterator.
struct StructuralChange
{
    const char *name;
    void (*change)(tHashTable &table);
};

void PrintTo(const StructuralChange &c, std::ostream *os)
{
    *os << c.name;
}

class IteratorInvalidation : public ::testing::TestWithParam<StructuralChange>
{
};

TEST_P(IteratorInvalidation, NextUseRaisesAndChangesNothing)
{
    tHashTable table(0);
    table.Put("A", "a");
    table.Put("B", "b");
    auto it = table.CreateIterator();
    const std::string key = it->GetKey();
    GetParam().change(table);
    EXPECT_FALSE(it->IsValid());
    ExpectRaises([&] { it->Next(); }, "Iterator no longer valid");
    ExpectRaises([&] { it->RemoveCurrent(); }, "Iterator no longer valid");
    ExpectRaises([&] { it->HasNext(); }, "Iterator no longer valid");
    ExpectRaises([&] { it->GetKey(); }, "Iterator no longer valid");
    ExpectRaises([&] { it->GetValue(); }, "Iterator no longer valid");
    ExpectRaises([&] { it->IsEntryValid(); }, "Iterator no longer valid");
    ExpectRaises([&] { it->SetValue("x"); }, "Iterator no longer valid");
    EXPECT_FALSE(it->IsValid());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, IteratorInvalidation,
    ::testing::Values(StructuralChange{"PutNewKey", [](tHashTable &t) { t.Put("C", "c"); }},
                      StructuralChange{"AddOrReplaceNewKey", [](tHashTable &t) { t.AddOrReplace("C", "c"); }},
                      StructuralChange{"RemovePresentKey", [](tHashTable &t) { t.Remove("A"); }},
                      StructuralChange{"Clear", [](tHashTable &t) { t.Clear(); }},
                      StructuralChange{"Rehash", [](tHashTable &t) { t.Rehash(11); }},
                      StructuralChange{"Grow", [](tHashTable &t) { t.Grow(); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(HashTableIterator, ReplacingOrRemovingMissingKeysKeepsItValid)
{
    tHashTable table(0);
    table.Put("A", "a");
    auto it = table.CreateIterator();
    table.Put("A", "again");
    table.Remove("missing");
    EXPECT_TRUE(it->IsValid());
    EXPECT_EQ(it->GetValue(), "again");
}

// A full pass removing the entries a predicate picks, over tables of many
// sizes so that removals hit chain heads, middles, tails and bucket ends.
struct RemovalCase
{
    const char *name;
    int entries;
    int buckets; // rehash to this count before the pass; 0 keeps the grown count
    bool (*removes)(int n);
};

void PrintTo(const RemovalCase &c, std::ostream *os)
{
    *os << c.name;
}

class RemovalDuringAPass : public ::testing::TestWithParam<RemovalCase>
{
};

TEST_P(RemovalDuringAPass, VisitsEveryEntryOnceAndKeepsTheRest)
{
    const RemovalCase &c = GetParam();
    tHashTable table(0);
    for (int n = 0; n < c.entries; ++n)
        table.Put("key" + std::to_string(n), std::to_string(n));
    if (c.buckets)
        table.Rehash(c.buckets);
    auto other = table.CreateIterator();

    std::multiset<std::string> visited;
    int removed = 0;
    auto it = table.CreateIterator();
    while (it->IsEntryValid()) {
        const std::string key = it->GetKey();
        visited.insert(key);
        const int n = std::stoi(it->GetValue());
        EXPECT_EQ(key, "key" + std::to_string(n));
        if (c.removes(n)) {
            it->RemoveCurrent();
            ++removed;
            EXPECT_EQ(it->GetKey(), "");
            EXPECT_FALSE(it->IsEntryValid());
            EXPECT_TRUE(it->IsValid());
            it->RemoveCurrent(); // a second removal does nothing
        }
        it->Next();
    }
    EXPECT_TRUE(it->IsValid());
    EXPECT_EQ(other->IsValid(), removed == 0) << "other iterators are invalidated by a removal";
    EXPECT_EQ(static_cast<int>(visited.size()), c.entries);
    for (int n = 0; n < c.entries; ++n) {
        const std::string key = "key" + std::to_string(n);
        EXPECT_EQ(visited.count(key), 1u) << key;
        EXPECT_EQ(table.ContainsKey(key), !c.removes(n)) << key;
    }
    EXPECT_EQ(table.Count(), c.entries - removed);
}

INSTANTIATE_TEST_SUITE_P(
    Passes, RemovalDuringAPass,
    ::testing::Values(RemovalCase{"AllOfThree", 3, 0, [](int) { return true; }},
                      RemovalCase{"AllOfMany", 100, 0, [](int) { return true; }},
                      RemovalCase{"AllInOneChain", 20, 1, [](int) { return true; }},
                      RemovalCase{"EveryOtherInOneChain", 20, 1, [](int n) { return n % 2 == 0; }},
                      RemovalCase{"EveryThird", 100, 0, [](int n) { return n % 3 == 1; }},
                      RemovalCase{"OnlyOne", 10, 0, [](int n) { return n == 7; }},
                      RemovalCase{"None", 10, 0, [](int) { return false; }},
                      RemovalCase{"SparseBuckets", 5, 101, [](int n) { return n != 2; }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(HashTableIterator, HasNextAfterARemoval)
{
    tHashTable table(0);
    table.Put("A", "a");
    table.Put("B", "b");
    auto it = table.CreateIterator();
    it->RemoveCurrent();
    EXPECT_TRUE(it->HasNext()) << "the entry after the removed one is still to come";
    it->Next();
    EXPECT_TRUE(it->IsEntryValid());
    EXPECT_FALSE(it->HasNext());
    it->RemoveCurrent();
    EXPECT_FALSE(it->HasNext());
    it->Next();
    EXPECT_FALSE(it->IsEntryValid());
    EXPECT_EQ(table.Count(), 0);
}

} // namespace
