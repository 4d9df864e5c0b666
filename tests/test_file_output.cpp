// Output files: every writer replaces its file in one step, so a failed
// write leaves the old file byte for byte and no stray file; links are
// written through, permission bits kept. (Devices are written in place: the
// encoders' /dev/full tests see the device's short write.)
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vqr_test::library;
using vqr_test::temp_dir;

constexpr const char *PNG_OPEN = "qr_encode_to_file: cannot open output path for writing";
constexpr const char *PNG_SHORT = "qr_encode_to_file: short write";
constexpr const char *SVG_SHORT = "qr_encode_to_svg_file: short write";
constexpr const char *BATCH_FAILED =
    "qr_encode_batch: encode failed for an item (see message before this)";

// Every size a writer produces below is well above this limit.
constexpr rlim_t FILE_SIZE_LIMIT = 512;

std::set<std::string> files_in(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::vector<unsigned char> pattern(std::size_t n) {
    std::vector<unsigned char> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

// A writer of the public interface aimed at `dir/out.png`, with the message
// its failed write leaves.
struct writer {
    const char *name;
    std::function<int(const fs::path &dir)> write;
    const char *short_write;
};

std::string out(const fs::path &dir) { return (dir / "out.png").string(); }

int write_png(const fs::path &d) { return qr_encode_to_file("hello", out(d).c_str(), 1, 10, 4); }
int write_svg(const fs::path &d) {
    return qr_encode_to_svg_file("hello", out(d).c_str(), 1, 10, 4);
}
int write_wifi(const fs::path &d) { return qr_encode_wifi("net", "pw", "WPA", out(d).c_str(), 10); }
int write_batch(const fs::path &d) {
    const char *json = R"([{"text":"hello","filename":"out"}])";
    return qr_encode_batch(json, d.c_str(), 1, 10, 4) == 1 ? 1 : -1;
}

const std::vector<writer> &writers() {
    static const std::vector<writer> all = {
        {"png", write_png, PNG_SHORT},
        {"svg", write_svg, SVG_SHORT},
        {"wifi", write_wifi, PNG_SHORT},
        {"batch", write_batch, BATCH_FAILED},
    };
    return all;
}

// Runs `w` in a child process whose files may not grow beyond the limit
// (SIGXFSZ ignored, so the write fails with EFBIG instead of killing it).
// True when the child saw -1 with the expected message.
bool fails_under_size_limit(const writer &w, const fs::path &dir) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{FILE_SIZE_LIMIT, FILE_SIZE_LIMIT};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = w.write(dir) == -1 && std::strcmp(qr_last_error(), w.short_write) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(library, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    // The old bytes live in `holder`; out.png is that file or a link to it.
    for (const char *holder : {"out.png", "real.png"}) {
        for (const writer &w : writers()) {
            temp_dir dir;
            if (std::strcmp(holder, "out.png") != 0) fs::create_symlink(holder, dir / "out.png");
            ASSERT_EQ(w.write(dir.path()), 1) << w.name << ": " << qr_last_error();
            ASSERT_GT(fs::file_size(dir / "out.png"), FILE_SIZE_LIMIT) << w.name;
            const std::vector<unsigned char> old = pattern(6000);
            vqr_test::write_bytes(dir / holder, old);
            const std::set<std::string> before = files_in(dir.path());
            EXPECT_TRUE(fails_under_size_limit(w, dir.path())) << w.name << " " << holder;
            EXPECT_EQ(vqr_test::read_bytes(dir / holder), old) << w.name << " " << holder;
            EXPECT_EQ(files_in(dir.path()), before) << w.name << " " << holder;
        }
    }
}

TEST_F(library, WritesFollowLinksToTheirFinalTarget) {
    struct row {
        const char *name;
        std::vector<std::pair<std::string, std::string>> links;  // link name, link text
        const char *written;  // the file that must receive the data
    };
    const row rows[] = {
        {"relative", {{"out.png", "real.png"}}, "real.png"},
        {"chain through a folder",
         {{"out.png", "sub/hop"}, {"sub/hop", "../real.png"}},
         "real.png"},
        {"dangling", {{"out.png", "sub/new.png"}}, "sub/new.png"},
    };
    for (const row &r : rows) {
        temp_dir dir;
        fs::create_directory(dir / "sub");
        for (const auto &[link, text] : r.links) fs::create_symlink(text, dir / link);
        for (const writer &w : writers()) {
            ASSERT_EQ(w.write(dir.path()), 1) << r.name << " " << w.name << ": " << qr_last_error();
            EXPECT_TRUE(fs::is_symlink(dir / "out.png")) << r.name << " " << w.name;
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir / r.written)))
                << r.name << " " << w.name;
            EXPECT_EQ(vqr_test::read_bytes(dir / "out.png"), vqr_test::read_bytes(dir / r.written));
        }
        // The absolute form of the same link.
        fs::remove(dir / "out.png");
        fs::create_symlink(dir / r.written, dir / "out.png");
        EXPECT_EQ(writers()[0].write(dir.path()), 1) << r.name;
        EXPECT_TRUE(fs::is_symlink(dir / "out.png"));
    }
}

TEST_F(library, PathsThatCannotBeWrittenLeaveTheFolderAsItWas) {
    temp_dir dir;
    fs::create_symlink("b", dir / "loop");
    fs::create_symlink("loop", dir / "b");
    fs::create_directory(dir / "sub");
    const std::set<std::string> before = files_in(dir.path());
    const std::string paths[] = {
        "",
        (dir / "sub").string(),
        (dir / "sub/").string(),
        (dir / "missing/x.png").string(),
        (dir / "loop").string(),
    };
    for (const std::string &path : paths) {
        EXPECT_EQ(qr_encode_to_file("A", path.c_str(), 1, 4, 4), -1) << path;
        EXPECT_STREQ(qr_last_error(), PNG_OPEN) << path;
        EXPECT_EQ(qr_encode_to_svg_file("A", path.c_str(), 1, 4, 4), -1) << path;
        EXPECT_STREQ(qr_last_error(), "qr_encode_to_svg_file: cannot open output path for writing")
            << path;
        EXPECT_EQ(files_in(dir.path()), before) << path;
        EXPECT_TRUE(fs::is_empty(dir / "sub")) << path;
    }
}

TEST_F(library, ReplacedFileKeepsItsPermissionsAndNewFilesFollowTheUmask) {
    struct row {
        mode_t umask_bits;
        mode_t existing;  // 0: no file before the write
        mode_t expected;
    };
    const row rows[] = {
        {022, 0, 0644},       // new file
        {077, 0, 0600},       // new file, strict umask
        {022, 0600, 0600},    // kept although the umask would allow more
        {077, 0664, 0664},    // kept although the umask would allow less
        {022, 0755, 0755},    // executable
        {022, 02755, 02755},  // setgid
        {022, 01644, 01644},  // sticky
    };
    for (const row &r : rows) {
        for (const writer &w : writers()) {
            temp_dir dir;
            if (r.existing) {
                vqr_test::write_bytes(dir / "out.png", pattern(10));
                ASSERT_EQ(chmod((dir / "out.png").c_str(), r.existing), 0);
            }
            const mode_t before = umask(r.umask_bits);
            const int result = w.write(dir.path());
            umask(before);
            ASSERT_EQ(result, 1) << w.name << ": " << qr_last_error();
            struct stat st {};
            ASSERT_EQ(stat((dir / "out.png").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, r.expected)
                << w.name << " umask " << r.umask_bits << " existing " << r.existing;
        }
    }
}

}  // namespace
