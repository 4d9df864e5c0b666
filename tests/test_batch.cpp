// Batch encoding: input checks before any file is written, item failures in
// turn, file-name cleaning, path length, and the element cap.
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "test_support.h"

namespace {

using vqr_test::library;

std::set<std::string> files_in(const std::filesystem::path &dir) {
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        names.insert(e.path().filename().string());
    }
    return names;
}

std::string items(int count, const std::string &item) {
    std::string json = "[";
    for (int i = 0; i < count; ++i) json += (i ? "," : "") + item;
    return json + "]";
}

std::string decoded(const std::filesystem::path &png) {
    const auto img = vqr_test::read_image(png);
    if (!img) return "<unreadable>";
    return vqr_test::zxing_read(*img).value_or("<no code>");
}

constexpr const char *NOT_ARRAY = "qr_encode_batch: JSON input must be an array of {text,filename}";
constexpr const char *INVALID = "qr_encode_batch: invalid JSON input";
constexpr const char *MISSING = "qr_encode_batch: item missing string \"text\"";
constexpr const char *EMPTY_TEXT = "qr_encode_batch: item with empty text";
constexpr const char *NOT_OBJECT = "qr_encode_batch: array element is not an object";
constexpr const char *ENCODE_FAILED =
    "qr_encode_batch: encode failed for an item (see message before this)";

TEST_F(library, BatchFailures) {
    struct row {
        std::string json;
        const char *msg;
        std::set<std::string> files;
    };
    const std::string too_long_text(3000, 'x');  // more than level H can hold
    const row rows[] = {
        {"[]", "qr_encode_batch: empty array", {}},
        {"{}", NOT_ARRAY, {}},
        {"42", NOT_ARRAY, {}},
        {"\"[]\"", NOT_ARRAY, {}},
        {"[{\"text\":\"a\"},]", INVALID, {}},
        {"[{\"text\":\"a\"}] x", INVALID, {}},
        {"[{\"text\":\"a\"}][]", INVALID, {}},
        {"/* c */[{\"text\":\"a\"}]", INVALID, {}},
        {"[{\"text\":NaN}]", INVALID, {}},
        {"[{\"text\":\"\xFF\"}]", INVALID, {}},
        {"", INVALID, {}},
        {items(10001, R"({"text":"a"})"), "qr_encode_batch: array too large (max 10000)", {}},
        {R"([{"text":5}])", MISSING, {}},
        {R"([{}])", MISSING, {}},
        {R"([{"Text":"a"}])", MISSING, {}},
        {R"([{"text":5,"text":"a"}])", MISSING, {}},  // the first of two keys counts
        {R"([{"text":""}])", EMPTY_TEXT, {}},
        {R"([{"text":"\u0000abc"}])", EMPTY_TEXT, {}},
        {R"([{"text":"a\u0000b"}])", "qr_encode_batch: item text contains a NUL byte", {}},
        {R"([{"text":"a","filename":"one"},{"text":"ab\u0000","filename":"two"}])",
         "qr_encode_batch: item text contains a NUL byte",
         {"one.png"}},
        // Items are examined in turn: earlier files stay, later items never run.
        {R"([{"text":"a","filename":"one"},"x",{"text":"b","filename":"three"}])",
         NOT_OBJECT,
         {"one.png"}},
        {R"([{"text":"a","filename":"one"},[],{"text":"b","filename":"three"}])",
         NOT_OBJECT,
         {"one.png"}},
        {R"([{"text":"a","filename":"one"},{"text":"b"},{"text":""}])",
         EMPTY_TEXT,
         {"one.png", "qr.png"}},
        {R"([{"text":"a","filename":"one"},{"text":")" + too_long_text +
             R"(","filename":"two"},{"text":"c","filename":"three"}])",
         ENCODE_FAILED,
         {"one.png"}},
    };
    for (const row &r : rows) {
        vqr_test::temp_dir dir;
        EXPECT_EQ(qr_encode_batch(r.json.c_str(), dir.path().c_str(), 3, 1, 0), -1)
            << r.json.substr(0, 80);
        EXPECT_STREQ(qr_last_error(), r.msg) << r.json.substr(0, 80);
        EXPECT_EQ(files_in(dir.path()), r.files) << r.json.substr(0, 80);
    }
    EXPECT_EQ(qr_encode_batch(nullptr, "/tmp", 1, 1, 0), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_batch: NULL argument");
    EXPECT_EQ(qr_encode_batch("[]", nullptr, 1, 1, 0), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_batch: NULL argument");
}

// An empty folder would make every path start at the filesystem root.
TEST_F(library, BatchEmptyOutputDirectoryWritesNothing) {
    const char *json = R"([{"text":"a","filename":"vqr-root-probe"}])";
    EXPECT_EQ(qr_encode_batch(json, "", 1, 1, 0), -1);
    EXPECT_STREQ(qr_last_error(), "qr_encode_batch: empty output directory");
    EXPECT_FALSE(std::filesystem::exists("/vqr-root-probe.png"));
}

// Each row also asks qr_batch_file_name for the name, given the member as
// the C string a host holds (null when it is not a string).
TEST_F(library, BatchFileNames) {
    struct row {
        std::string filename;  // a JSON value
        std::optional<std::string> as_c;
        std::string file;
    };
    const std::string n250(250, 'n'), n251(251, 'n'), n300(300, 'n');
    const row rows[] = {
        {R"("report")", "report", "report.png"},
        {R"("report.PNG")", "report.PNG", "report.PNG"},
        {R"("a.b")", "a.b", "a.b"},
        {R"("x.")", "x.", "x."},
        {R"("")", "", "qr.png"},
        {"5", std::nullopt, "qr.png"},
        {"null", std::nullopt, "qr.png"},
        {"{}", std::nullopt, "qr.png"},
        {R"("../up")", "../up", ".._up"},
        {R"("a/b:c")", "a/b:c", "a_b_c.png"},
        {R"("C:\\x")", "C:\\x", "C__x.png"},
        {R"("a\nb\tc")", "a\nb\tc", "a_b\tc.png"},
        {R"("caf\u00e9")", "caf\xC3\xA9", "caf\xC3\xA9.png"},
        {R"("\u0000abc")", "", "qr.png"},
        {R"("ab\u0000c.d")", "ab", "ab.png"},
        {"\"" + n250 + "\"", n250, n250 + ".png"},
        {"\"" + n251 + "\"", n251, n251},
        {"\"" + n300 + "\"", n300, n300.substr(0, 255)},
        {R"("first","filename":"second")", "first", "first.png"},
    };
    for (const row &r : rows) {
        vqr_test::temp_dir dir;
        const std::string json = R"([{"text":"hello","filename":)" + r.filename + "}]";
        EXPECT_EQ(qr_encode_batch(json.c_str(), dir.path().c_str(), 1, 1, 0), 1)
            << qr_last_error() << " " << r.filename.substr(0, 40);
        EXPECT_EQ(files_in(dir.path()), std::set<std::string>{r.file});
        EXPECT_EQ(qr_batch_file_name(r.as_c ? r.as_c->c_str() : nullptr), r.file)
            << r.filename.substr(0, 40);
    }
}

TEST_F(library, BatchItemsWriteInTurn) {
    vqr_test::temp_dir dir;
    const char *json = R"([{"text":"first"},{"text":"second","x":1},{"text":"third"}])";
    ASSERT_EQ(qr_encode_batch(json, dir.path().c_str(), 1, 4, 2), 3) << qr_last_error();
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"qr.png"});
    EXPECT_EQ(decoded(dir / "qr.png"), "third");

    const char *named = R"([{"text":"Zürich \u20ac","filename":"u"},{"text":"b","filename":"v"}])";
    ASSERT_EQ(qr_encode_batch(named, dir.path().c_str(), 1, 4, 2), 2) << qr_last_error();
    EXPECT_EQ(decoded(dir / "u.png"), "Z\xC3\xBCrich \xE2\x82\xAC");
    EXPECT_EQ(decoded(dir / "v.png"), "b");
}

TEST_F(library, BatchTenThousandItems) {
    vqr_test::temp_dir dir;
    const std::string json = items(10000, R"({"text":"a"})");
    EXPECT_EQ(qr_encode_batch(json.c_str(), dir.path().c_str(), 0, 1, 0), 10000) << qr_last_error();
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"qr.png"});
}

// A path that does not fit 1,023 bytes fails its item rather than being cut
// to another file name.
TEST_F(library, BatchPathLength) {
    vqr_test::temp_dir dir;
    const std::string base = dir.path().string();
    // out_dir padded with "/." so that out_dir + "/qr.png" is `len` bytes.
    auto padded = [&](std::size_t len) {
        std::string d = base;
        while (d.size() + 2 <= len - 7) d += "/.";
        if (d.size() < len - 7) d += "/";
        return d;
    };
    const std::string fits = padded(1023);
    ASSERT_EQ(fits.size() + 7, 1023u);
    EXPECT_EQ(qr_encode_batch(R"([{"text":"a"}])", fits.c_str(), 1, 1, 0), 1) << qr_last_error();
    EXPECT_EQ(files_in(dir.path()), std::set<std::string>{"qr.png"});
    std::filesystem::remove(dir / "qr.png");

    const std::string over = padded(1024);
    ASSERT_EQ(over.size() + 7, 1024u);
    const std::string jsons[] = {R"([{"text":"a"}])",
                                 R"([{"text":"a","filename":")" + std::string(250, 'n') + "\"}]"};
    for (const std::string &json : jsons) {
        EXPECT_EQ(qr_encode_batch(json.c_str(), over.c_str(), 1, 1, 0), -1);
        EXPECT_STREQ(qr_last_error(), "qr_encode_batch: output path too long (max 1023 bytes)");
    }
    EXPECT_TRUE(files_in(dir.path()).empty());
}

}  // namespace
