#include "amf/amf0.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "amf/access.h"
#include "amf/batch_size.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes encoded(const amf::amf0_data_type& v) {
    Bytes out(amf::get_size(&v));
    EXPECT_TRUE(amf::encode(out.data(), out.data() + out.size(), &v));
    return out;
}

std::unique_ptr<amf::amf0_data_type> decoded(const Bytes& bytes) {
    return std::unique_ptr<amf::amf0_data_type>(
        amf::decode(bytes.data(), bytes.data() + bytes.size()));
}

Bytes withKey(Bytes prefix, const std::string& key) {
    prefix.push_back(static_cast<unsigned char>(key.size() >> 8));
    prefix.push_back(static_cast<unsigned char>(key.size()));
    prefix.insert(prefix.end(), key.begin(), key.end());
    return prefix;
}

TEST(Amf0Encode, ScalarsAndEmptyContainers) {
    EXPECT_EQ(encoded(amf::amf_object()), (Bytes{0x03, 0x00, 0x00, 0x09}));
    EXPECT_EQ(encoded(amf::amf_ecma_array()), (Bytes{0x08, 0, 0, 0, 0, 0, 0, 0x09}));
    EXPECT_EQ(encoded(amf::amf_strict_array()), (Bytes{0x0A, 0, 0, 0, 0}));
    EXPECT_EQ(encoded(amf::amf_null()), (Bytes{0x05}));
    EXPECT_EQ(encoded(amf::amf_boolean(true)), (Bytes{0x01, 0x01}));
    EXPECT_EQ(encoded(amf::amf_numeric(1.0)), (Bytes{0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(encoded(amf::amf_string("ab")), (Bytes{0x02, 0x00, 0x02, 'a', 'b'}));
    EXPECT_EQ(encoded(amf::amf_long_string("ab")), (Bytes{0x0C, 0, 0, 0, 2, 'a', 'b'}));
}

TEST(Amf0Encode, MapsEncodeInKeyByteOrder) {
    amf::amf_object object;
    object.set_numeric_property("id", 1);
    object.set_bool_property("done", true);
    object.set_string_property("data", "x");
    Bytes expected{0x03};
    expected = withKey(expected, "data");
    expected.insert(expected.end(), {0x02, 0x00, 0x01, 'x'});
    expected = withKey(expected, "done");
    expected.insert(expected.end(), {0x01, 0x01});
    expected = withKey(expected, "id");
    expected.insert(expected.end(), {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0});
    expected.insert(expected.end(), {0x00, 0x00, 0x09});
    EXPECT_EQ(encoded(object), expected);

    amf::amf_ecma_array array;
    amf::amf_null null;
    for (int i = 0; i < 12; ++i) array.push_back(&null);
    EXPECT_EQ(array.get_count(), 12u);
    Bytes e12{0x08, 0, 0, 0, 12};
    for (const char* key : {"0", "1", "10", "11", "2", "3", "4", "5", "6", "7", "8", "9"}) {
        e12 = withKey(e12, key);
        e12.push_back(0x05);
    }
    e12.insert(e12.end(), {0x00, 0x00, 0x09});
    EXPECT_EQ(encoded(array), e12);
}

TEST(Amf0Encode, ShortStringLimitAndLongStringFallback) {
    amf::amf_string fits(std::string(65532, 'a'));
    EXPECT_EQ(encoded(fits).size(), 65535u);
    amf::amf_string tooLong(std::string(65533, 'a'));
    Bytes buffer(amf::get_size(&tooLong));
    EXPECT_FALSE(amf::encode(buffer.data(), buffer.data() + buffer.size(), &tooLong));

    amf::amf_object object;
    object.set_string_property("t", std::string(65533, 'b'));
    ASSERT_EQ(object.get_property("t")->get_type(), amf::AMF_LONG_STRING);
    Bytes bytes = encoded(object);
    EXPECT_EQ(bytes[4], 0x0C);

    amf::amf_object badKey;
    amf::amf_null null;
    badKey.set_property(std::string(65533, 'k'), &null);
    Bytes keyBuffer(amf::get_size(&badKey));
    EXPECT_FALSE(amf::encode(keyBuffer.data(), keyBuffer.data() + keyBuffer.size(), &badKey));
}

TEST(Amf0Encode, RefusesShortBuffersWithoutWriting) {
    amf::amf_string s("hello");
    Bytes buffer(3, 0xEE);
    EXPECT_FALSE(amf::encode(buffer.data(), buffer.data() + buffer.size(), &s));
    EXPECT_EQ(buffer, Bytes(3, 0xEE));
    EXPECT_EQ(s.encode(nullptr, nullptr), 0);
    EXPECT_EQ(amf::get_size(nullptr), 0u);
}

// The pre-encoded array must put the same bytes on the wire as a tree of
// values, whatever the count: index keys sort as text (10 before 2), and
// counts around each power of ten move where the longer keys fall.
TEST(Amf0Encode, EncodedArrayMatchesTheValueTree) {
    for (std::size_t count : {0u, 1u, 9u, 10u, 11u, 99u, 100u, 101u, 1000u, 1234u}) {
        SCOPED_TRACE(count);
        amf::amf_ecma_array tree;
        amf::amf_encoded_ecma_array flat;
        // Values encoded elsewhere (on a file worker) and appended as bytes.
        amf::amf_encoded_ecma_array handed;
        for (std::size_t i = 0; i < count; ++i) {
            amf::amf_object record;
            record.set_string_property("path", "/m/" + std::to_string(i) + ".mp3");
            record.set_numeric_property("n", static_cast<double>(i));
            tree.push_back(&record);
            flat.push_back(&record);
            const Bytes bytes = encoded(record);
            handed.push_encoded(std::string(bytes.begin(), bytes.end()));
        }
        EXPECT_EQ(flat.get_count(), count);
        EXPECT_EQ(amf::get_size(&flat), amf::get_size(&tree));
        EXPECT_EQ(encoded(flat), encoded(tree));
        EXPECT_EQ(amf::get_size(&handed), amf::get_size(&tree));
        EXPECT_EQ(encoded(handed), encoded(tree));
        EXPECT_EQ(flat.to_string(), tree.to_string());
        std::unique_ptr<amf::amf0_data_type> copy(flat.clone());
        EXPECT_EQ(encoded(*copy), encoded(tree));
    }
    // A value that cannot be encoded fails the whole array, until it is emptied.
    amf::amf_encoded_ecma_array flat;
    amf::amf_object badKey;
    amf::amf_null null;
    badKey.set_property(std::string(65533, 'k'), &null);
    flat.push_back(&badKey);
    Bytes buffer(amf::get_size(&flat));
    EXPECT_FALSE(amf::encode(buffer.data(), buffer.data() + buffer.size(), &flat));
    flat.remove_all();
    EXPECT_EQ(encoded(flat), encoded(amf::amf_ecma_array()));
    // Encode-only.
    const Bytes bytes = encoded(amf::amf_ecma_array());
    const unsigned char* p = bytes.data() + 1;
    EXPECT_FALSE(flat.decode_and_step(p, bytes.data() + bytes.size()));
}

TEST(Amf0Decode, ScalarsAndMarkers) {
    auto t = decoded({0x01, 0x02});
    ASSERT_TRUE(t);
    EXPECT_TRUE(static_cast<amf::amf_boolean*>(t.get())->get_value());
    EXPECT_FALSE(decoded({0x01}));
    auto undefined = decoded({0x06});
    ASSERT_TRUE(undefined);
    EXPECT_EQ(encoded(*undefined), (Bytes{0x05}));
    EXPECT_FALSE(decoded({0x07, 0x00, 0x01}));
    EXPECT_FALSE(decoded({0x0B}));
    for (unsigned char marker : {4, 7, 9, 11, 13, 17, 255})
        EXPECT_FALSE(decoded({marker})) << int(marker);
    EXPECT_FALSE(decoded({}));
    auto trailing = decoded({0x05, 0xFF, 0xFF});
    EXPECT_TRUE(trailing);
}

TEST(Amf0Decode, TruncatedAndMalformedContainersFail) {
    EXPECT_FALSE(decoded({0x02, 0x00, 0x05, 'a', 'b', 'c'}));
    EXPECT_FALSE(decoded({0x03, 0x00, 0x01, 0x61, 0x05}));
    EXPECT_FALSE(decoded({0x03, 0x00, 0x00, 0x08}));
    EXPECT_FALSE(decoded({0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}));
    // A strict array announcing four billion elements with one present.
    EXPECT_FALSE(decoded({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05}));
}

TEST(Amf0Decode, EcmaCountIsAdvisoryAndLaterKeysWin) {
    Bytes ecma{0x08, 0, 0, 0, 5};
    ecma = withKey(ecma, "a");
    ecma.push_back(0x05);
    ecma = withKey(ecma, "b");
    ecma.push_back(0x05);
    ecma.insert(ecma.end(), {0, 0, 9});
    auto array = decoded(ecma);
    ASSERT_TRUE(array);
    EXPECT_EQ(static_cast<amf::amf_ecma_array*>(array.get())->get_count(), 2u);

    Bytes twice{0x03};
    twice = withKey(twice, "a");
    twice.insert(twice.end(), {0x01, 0x00});
    twice = withKey(twice, "a");
    twice.insert(twice.end(), {0x01, 0x01});
    twice.insert(twice.end(), {0, 0, 9});
    auto object = decoded(twice);
    ASSERT_TRUE(object);
    auto* a = static_cast<amf::amf_object*>(object.get())->get_property("a");
    ASSERT_TRUE(a);
    EXPECT_TRUE(static_cast<const amf::amf_boolean*>(a)->get_value());
}

TEST(Amf0Decode, NestingBeyondTheLimitFails) {
    auto nested = [](int depth) {
        Bytes b;
        for (int i = 0; i < depth - 1; ++i) b.insert(b.end(), {0x0A, 0, 0, 0, 1});
        b.push_back(0x05);
        return b;
    };
    EXPECT_TRUE(decoded(nested(amf::kMaxDecodeDepth)));
    EXPECT_FALSE(decoded(nested(amf::kMaxDecodeDepth + 1)));
    EXPECT_FALSE(decoded(nested(100000)));
}

TEST(Amf0RoundTrip, NestedValuesSurviveAndClonesAreDeep) {
    amf::amf_object root;
    amf::amf_ecma_array list;
    amf::amf_string s("\xC3\xA9t\xC3\xA9");
    list.push_back(&s);
    amf::amf_strict_array strict;
    amf::amf_numeric n(-0.5);
    strict.push_back(&n);
    list.push_back(&strict);
    root.set_property("list", &list);
    root.set_string_property("long", std::string(70000, 'z'));
    Bytes bytes = encoded(root);
    auto back = decoded(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(encoded(*back), bytes);
    EXPECT_EQ(back->to_string(), root.to_string());

    std::unique_ptr<amf::amf0_data_type> copy(root.clone());
    root.remove_property("list");
    EXPECT_EQ(encoded(*copy), bytes);
}

// Maps hold the index keys "0".."n-1" apart from the others; through any
// edits they must still behave as one map ordered by key bytes, which a
// std::map of the same texts shows.
TEST(Amf0Map, EditsBehaveLikeAMapOrderedByKeyBytes) {
    std::mt19937 random(7);
    const std::vector<std::string> named = {"a", "10a", "01", "007",
                                            "z", "-1",  "1 ", "99999999999"};
    amf::amf_ecma_array array;
    std::map<std::string, double> reference;
    for (int step = 0; step < 4000; ++step) {
        const std::string key =
            random() % 3 != 0 ? std::to_string(random() % 40) : named[random() % named.size()];
        switch (random() % 6) {
            case 0:
            case 1:
                array.set_numeric_property(key, step);
                reference[key] = step;
                break;
            case 2:
                array.remove_property(key);
                reference.erase(key);
                break;
            case 3: {
                const std::string next = std::to_string(reference.size());
                amf::amf_numeric value(step);
                array.push_back(&value);
                reference[next] = step;
                break;
            }
            default: {
                std::unique_ptr<amf::amf0_data_type> taken = array.take_property(key);
                ASSERT_EQ(taken != nullptr, reference.count(key) == 1) << key;
                if (taken) {
                    EXPECT_EQ(static_cast<amf::amf_numeric*>(taken.get())->get_value(),
                              reference[key]);
                }
                reference.erase(key);
            }
        }
        ASSERT_EQ(array.get_count(), reference.size());
        std::vector<std::pair<std::string, double>> entries;
        for (const auto& entry : array)
            entries.emplace_back(entry.first.get_value(),
                                 static_cast<const amf::amf_numeric*>(entry.second)->get_value());
        ASSERT_EQ(entries,
                  (std::vector<std::pair<std::string, double>>(reference.begin(), reference.end())))
            << "step " << step;
        // find() starts an iteration at its key.
        auto from = array.get_value().find(key);
        auto expected = reference.find(key);
        ASSERT_EQ(from == array.end(), expected == reference.end());
        for (; from != array.end(); ++from, ++expected)
            ASSERT_EQ(from->first.get_value(), expected->first);
    }
    const Bytes bytes = encoded(array);
    auto back = decoded(bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(encoded(*back), bytes);
}

Bytes strictArrayOf(std::size_t count, const Bytes& element) {
    Bytes out{0x0A, static_cast<unsigned char>(count >> 24),
              static_cast<unsigned char>(count >> 16), static_cast<unsigned char>(count >> 8),
              static_cast<unsigned char>(count)};
    for (std::size_t i = 0; i < count; ++i) out.insert(out.end(), element.begin(), element.end());
    return out;
}

// The shapes with the most values per byte decode within the bound the
// request budget relies on (16 bytes held per byte), and encode back to the
// same bytes.
TEST(Amf0Decode, FragmentedShapesStayWithinTheirMemoryBound) {
    Bytes keys{0x03};
    for (unsigned i = 0; i < 8000; ++i) {
        keys = withKey(keys, std::string(1, static_cast<char>('a' + i / 676)) +
                                 static_cast<char>('a' + i / 26 % 26) +
                                 static_cast<char>('a' + i % 26));
        keys.push_back(0x05);
    }
    keys.insert(keys.end(), {0, 0, 9});
    // Keys "0".."7999" as an encoder writes them: in byte order, with the count.
    std::vector<std::string> indexKeys;
    for (unsigned i = 0; i < 8000; ++i) indexKeys.push_back(std::to_string(i));
    std::sort(indexKeys.begin(), indexKeys.end());
    Bytes indexed{0x08, 0, 0, 0x1F, 0x40};
    for (const std::string& key : indexKeys) {
        indexed = withKey(indexed, key);
        indexed.push_back(0x05);
    }
    indexed.insert(indexed.end(), {0, 0, 9});
    const struct {
        const char* name;
        Bytes bytes;
    } shapes[] = {
        {"nulls", strictArrayOf(50000, {0x05})},
        {"numbers", strictArrayOf(5000, {0x00, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"one-byte strings", strictArrayOf(10000, {0x02, 0x00, 0x01, 'q'})},
        {"two-byte strings", strictArrayOf(10000, {0x02, 0x00, 0x02, 'q', 'r'})},
        {"empty objects", strictArrayOf(10000, {0x03, 0x00, 0x00, 0x09})},
        {"one-entry objects",
         strictArrayOf(10000, {0x03, 0x00, 0x01, 'k', 0x05, 0x00, 0x00, 0x09})},
        {"index-keyed objects",
         strictArrayOf(10000, {0x03, 0x00, 0x01, '0', 0x05, 0x00, 0x00, 0x09})},
        {"one-element arrays", strictArrayOf(10000, {0x0A, 0x00, 0x00, 0x00, 0x01, 0x05})},
        {"distinct short keys", keys},
        {"index keys", indexed},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const unsigned char* p = shape.bytes.data();
        std::size_t held = 0;
        std::unique_ptr<amf::amf0_data_type> value(amf::decode_bounded(
            p, p + shape.bytes.size(), std::numeric_limits<std::size_t>::max(), &held));
        ASSERT_TRUE(value);
        EXPECT_LE(held, amf::kDecodeCostPerByte * shape.bytes.size());
        EXPECT_EQ(encoded(*value), shape.bytes);
        p = shape.bytes.data();
        EXPECT_FALSE(amf::decode_bounded(p, p + shape.bytes.size(), shape.bytes.size()));
    }
}

TEST(Amf0Access, EachAccessorAnswersOnlyForItsOwnType) {
    const amf::amf_numeric number(2.5);
    const amf::amf_boolean flag(true);
    const amf::amf_string text("abc");
    const amf::amf_long_string longText("abc");
    const amf::amf_null null;
    const amf::amf_object object;
    const amf::amf_ecma_array ecma;
    const amf::amf_strict_array strict;
    const amf::amf_encoded_ecma_array encoded;
    // Which accessor answers: O asObject, E asEcmaArray, A asStrictArray,
    // s getString, n getNumber, b getBool.
    const struct {
        const char* name;
        const amf::amf0_data_type* value;
        char answers;
    } rows[] = {
        {"number", &number, 'n'},
        {"boolean", &flag, 'b'},
        {"short string", &text, 's'},
        {"long string", &longText, '-'},
        {"null", &null, '-'},
        {"object", &object, 'O'},
        {"ECMA array", &ecma, 'E'},
        {"strict array", &strict, 'A'},
        {"encode-only array", &encoded, '-'},
        {"absent", nullptr, '-'},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.answers == 'O', amf::asObject(row.value) != nullptr);
        EXPECT_EQ(row.answers == 'E', amf::asEcmaArray(row.value) != nullptr);
        EXPECT_EQ(row.answers == 'A', amf::asStrictArray(row.value) != nullptr);
        EXPECT_EQ(row.answers == 's', amf::getString(row.value) != nullptr);
        EXPECT_EQ(row.answers == 'n', amf::getNumber(row.value).has_value());
        EXPECT_EQ(row.answers == 'b', amf::getBool(row.value).has_value());
    }
    EXPECT_EQ(2.5, amf::getNumber(&number).value_or(0));
    EXPECT_TRUE(amf::getBool(&flag).value_or(false));
    EXPECT_EQ(&text.get_value(), amf::getString(&text));
    EXPECT_EQ(&object, amf::asObject(&object));
}

TEST(Amf0Access, PropertiesOfADecodedObject) {
    // {"a": [], "n": 1.0, "s": "x"}
    Bytes bytes{0x03};
    bytes = withKey(bytes, "a");
    bytes.insert(bytes.end(), {0x08, 0, 0, 0, 0, 0x00, 0x00, 0x09});
    bytes = withKey(bytes, "n");
    bytes.insert(bytes.end(), {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0});
    bytes = withKey(bytes, "s");
    bytes.insert(bytes.end(), {0x02, 0x00, 0x01, 'x'});
    bytes.insert(bytes.end(), {0x00, 0x00, 0x09});
    const std::unique_ptr<amf::amf0_data_type> value = decoded(bytes);
    const amf::amf_object* object = amf::asObject(value.get());
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1.0, amf::getNumber(*object, "n").value_or(0));
    ASSERT_NE(nullptr, amf::getString(*object, "s"));
    EXPECT_EQ("x", *amf::getString(*object, "s"));
    EXPECT_NE(nullptr, amf::asEcmaArray(*object, "a"));
    EXPECT_EQ(nullptr, amf::getString(*object, "n"));
    EXPECT_FALSE(amf::getNumber(*object, "s").has_value());
    EXPECT_FALSE(amf::getBool(*object, "missing").has_value());
    EXPECT_EQ(nullptr, amf::asObject(*object, "a"));
}

TEST(Amf0Access, BatchSizeOfEveryListCommand) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* name;
        double value;
        std::uint32_t size;
    } rows[] = {
        {"whole", 7, 7},
        {"truncated", 7.9, 7},
        {"fraction under one", 0.5, 1},
        {"zero", 0, 1},
        {"negative", -1, 1},
        {"minus infinity", -inf, 1},
        {"NaN", std::numeric_limits<double>::quiet_NaN(), 1},
        {"just under the cap", 4294967294.7, 4294967294u},
        {"the cap", 4294967295.0, 4294967295u},
        {"past the cap", 4294967296.0, 4294967295u},
        {"huge", 1e300, 4294967295u},
        {"infinity", inf, 4294967295u},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        amf::amf_object parameters;
        parameters.set_numeric_property("batchSize", row.value);
        EXPECT_EQ(row.size, amf::getBatchSize(parameters));
    }
    amf::amf_object other;
    EXPECT_EQ(1u, amf::getBatchSize(other));
    other.set_string_property("batchSize", "5");
    EXPECT_EQ(1u, amf::getBatchSize(other));
}

}  // namespace
