#include "amf/amf0.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
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

// Literal bytes decoded and encoded again: what comes back, or nothing where
// the value is refused.
TEST(Amf0Codec, LiteralBytes) {
    const Bytes refused;
    const struct {
        const char* name;
        Bytes in, out;
    } rows[] = {
        {"number", {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, {0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
        {"true", {0x01, 0x01}, {0x01, 0x01}},
        {"any non-zero byte is true", {0x01, 0x02}, {0x01, 0x01}},
        {"string", {0x02, 0x00, 0x02, 'a', 'b'}, {0x02, 0x00, 0x02, 'a', 'b'}},
        {"long string", {0x0C, 0, 0, 0, 2, 'a', 'b'}, {0x0C, 0, 0, 0, 2, 'a', 'b'}},
        {"null", {0x05}, {0x05}},
        {"undefined reads as null", {0x06}, {0x05}},
        {"trailing bytes are left", {0x05, 0xFF, 0xFF}, {0x05}},
        {"empty object", {0x03, 0x00, 0x00, 0x09}, {0x03, 0x00, 0x00, 0x09}},
        {"empty ECMA array", {0x08, 0, 0, 0, 0, 0, 0, 0x09}, {0x08, 0, 0, 0, 0, 0, 0, 0x09}},
        {"empty strict array", {0x0A, 0, 0, 0, 0}, {0x0A, 0, 0, 0, 0}},
        {"keys encode in byte order",
         {0x03, 0, 2, 'i', 'd', 0x05, 0, 4, 'd', 'o', 'n', 'e', 0x05, 0, 0, 9},
         {0x03, 0, 4, 'd', 'o', 'n', 'e', 0x05, 0, 2, 'i', 'd', 0x05, 0, 0, 9}},
        {"the ECMA count is advisory",
         {0x08, 0, 0, 0, 5, 0, 1, 'a', 0x05, 0, 1, 'b', 0x05, 0, 0, 9},
         {0x08, 0, 0, 0, 2, 0, 1, 'a', 0x05, 0, 1, 'b', 0x05, 0, 0, 9}},
        {"of repeated keys the last wins",
         {0x03, 0, 1, 'a', 0x01, 0x00, 0, 1, 'a', 0x01, 0x01, 0, 0, 9},
         {0x03, 0, 1, 'a', 0x01, 0x01, 0, 0, 9}},
        {"nothing", {}, refused},
        {"boolean cut short", {0x01}, refused},
        {"reference", {0x07, 0x00, 0x01}, refused},
        {"date", {0x0B}, refused},
        {"marker 4", {4}, refused},
        {"marker 255", {255}, refused},
        {"string cut short", {0x02, 0x00, 0x05, 'a', 'b', 'c'}, refused},
        {"object without its end", {0x03, 0x00, 0x01, 0x61, 0x05}, refused},
        {"wrong end byte", {0x03, 0x00, 0x00, 0x08}, refused},
        {"long string past the end", {0x0C, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}, refused},
        {"strict array of four billion, one present",
         {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x05},
         refused},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto value = decoded(row.in);
        EXPECT_EQ(value ? encoded(*value) : refused, row.out);
    }
}

TEST(Amf0Encode, RefusalsAndTheShortStringLimit) {
    amf::amf_string fits(std::string(65532, 'a'));
    EXPECT_EQ(encoded(fits).size(), 65535u);
    amf::amf_string tooLong(std::string(65533, 'a'));
    Bytes buffer(amf::get_size(&tooLong));
    EXPECT_FALSE(amf::encode(buffer.data(), buffer.data() + buffer.size(), &tooLong));
    // Properties past the limit become long strings; keys cannot.
    amf::amf_object object;
    object.set_string_property("t", std::string(65533, 'b'));
    EXPECT_EQ(encoded(object)[4], 0x0C);
    amf::amf_object badKey;
    amf::amf_null null;
    badKey.set_property(std::string(65533, 'k'), &null);
    Bytes keyBuffer(amf::get_size(&badKey));
    EXPECT_FALSE(amf::encode(keyBuffer.data(), keyBuffer.data() + keyBuffer.size(), &badKey));
    // A buffer too short is left as it was.
    amf::amf_string s("hello");
    Bytes shortBuffer(3, 0xEE);
    EXPECT_FALSE(amf::encode(shortBuffer.data(), shortBuffer.data() + shortBuffer.size(), &s));
    EXPECT_EQ(shortBuffer, Bytes(3, 0xEE));
}

// The pre-encoded array puts the same bytes on the wire as a tree of values,
// whatever the count: counts around each power of ten move the longer keys.
TEST(Amf0Encode, EncodedArrayMatchesTheValueTree) {
    // Emptied and filled again for each count, as a scan's batch is.
    amf::amf_encoded_ecma_array batch;
    // Values encoded elsewhere (on a file worker) and appended as bytes.
    amf::amf_encoded_ecma_array handed;
    for (std::size_t count : {1000u, 0u, 1u, 9u, 10u, 11u, 99u, 100u, 101u, 1234u}) {
        SCOPED_TRACE(count);
        amf::amf_ecma_array tree;
        amf::amf_encoded_ecma_array& flat = batch;
        flat.remove_all();
        handed.remove_all();
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
    // Index keys sort as text.
    amf::amf_ecma_array twelve;
    amf::amf_null null;
    for (int i = 0; i < 12; ++i) twelve.push_back(&null);
    Bytes e12{0x08, 0, 0, 0, 12};
    for (const char* key : {"0", "1", "10", "11", "2", "3", "4", "5", "6", "7", "8", "9"}) {
        e12 = withKey(e12, key);
        e12.push_back(0x05);
    }
    e12.insert(e12.end(), {0x00, 0x00, 0x09});
    EXPECT_EQ(encoded(twelve), e12);
    // A value that cannot be encoded fails the whole array, until it is emptied.
    amf::amf_encoded_ecma_array flat;
    amf::amf_object badKey;
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
    const struct {
        const char* name;
        Bytes bytes;
    } shapes[] = {
        {"nulls", strictArrayOf(50000, {0x05})},
        {"numbers", strictArrayOf(5000, {0x00, 1, 2, 3, 4, 5, 6, 7, 8})},
        {"one-byte strings", strictArrayOf(10000, {0x02, 0x00, 0x01, 'q'})},
        {"empty objects", strictArrayOf(10000, {0x03, 0x00, 0x00, 0x09})},
        {"one-entry objects",
         strictArrayOf(10000, {0x03, 0x00, 0x01, 'k', 0x05, 0x00, 0x00, 0x09})},
        {"index-keyed objects",
         strictArrayOf(10000, {0x03, 0x00, 0x01, '0', 0x05, 0x00, 0x00, 0x09})},
        {"one-element arrays", strictArrayOf(10000, {0x0A, 0x00, 0x00, 0x00, 0x01, 0x05})},
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
        {"NaN", std::numeric_limits<double>::quiet_NaN(), 1},
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
