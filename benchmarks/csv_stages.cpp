// The CSV reader's stage budget: each stage of read_csv timed on its own, against what moving its
// bytes costs at this machine's copy speed.
//
//     csv_stages PATH [REPEATS]     the stages of reading PATH
//     csv_stages --kinds ROWS       the same for a generated file of one column per kind of field
//
// Stages: the input (reading the file from the page cache into the reader's buffer), the
// structural scan (the 64-byte block masks and the field ends), the record index (records taken
// from the field ends into the grid of fields), the conversion of each column, finishing the
// columns, and the whole read through read_csv with a table alive (as `make bench` runs it), with
// user and kernel time from getrusage. Every figure is the best of REPEATS runs.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/column_builder.h"
#include "core/dataframe.h"
#include "io/common/file_io.h"
#include "io/csv/csv_blocks.h"
#include "io/csv/csv_columns.h"
#include "io/csv/csv_tokenizer.h"

namespace {

// The machine is shared: each stage is timed by the CPU time this thread spent, which other
// processes' load disturbs far less than the wall clock.
struct Clock {
    using time_point = double;
    static double now() {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
};

// What reading the clock twice costs, taken off every timed interval.
double clock_overhead() {
    constexpr int kReads = 20000;
    const double start = Clock::now();
    double last = start;
    for (int i = 0; i < kReads; ++i) last = Clock::now();
    return (last - start) / kReads;
}
const double kClockOverhead = clock_overhead();

double seconds_since(Clock::time_point start) {
    return std::max(0.0, Clock::now() - start - kClockOverhead);
}

struct CpuTimes {
    double user = 0;
    double sys = 0;
    long faults = 0;
};

CpuTimes cpu_now() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    const auto s = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
    return {s(r.ru_utime), s(r.ru_stime), r.ru_minflt};
}

// CPU time (user and kernel together), user and kernel time of one run.
struct Sample {
    double cpu = 1e30;
    double user = 0;
    double sys = 0;
    long faults = 0;  // page faults
};

template <class Run>
Sample best_of(int repeats, Run&& run) {
    Sample best;
    for (int i = 0; i < repeats; ++i) {
        const CpuTimes before = cpu_now();
        const Clock::time_point start = Clock::now();
        run();
        const double cpu = seconds_since(start);
        const CpuTimes after = cpu_now();
        if (cpu < best.cpu) {
            best = {cpu, after.user - before.user, after.sys - before.sys,
                    after.faults - before.faults};
        }
    }
    return best;
}

// One core's memcpy speed between two buffers larger than the caches, both already faulted in.
double copy_bytes_per_second() {
    constexpr std::size_t kBytes = std::size_t{256} << 20;
    std::vector<char> from(kBytes, 1), to(kBytes, 0);
    const Sample s = best_of(5, [&] { std::memcpy(to.data(), from.data(), kBytes); });
    return static_cast<double>(kBytes) / s.cpu;
}

std::vector<char> whole_file(const std::string& path) {
    kelvra::InputFile file(path, "Cannot open file: ");
    std::vector<char> bytes(file.size_hint() + kelvra::kCsvBlock, 0);
    std::size_t done = 0;
    while (std::size_t got = file.read(bytes.data() + done, file.size_hint() - done)) done += got;
    bytes.resize(done + kelvra::kCsvBlock);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end(), 0);
    return bytes;
}

// What one column's conversion read and wrote: the fields' bytes in, the payloads or string
// views, the long texts' bytes and the missing bits out.
struct ColumnBudget {
    std::string name;
    double seconds = 0;
    double finish_seconds = 0;
    std::size_t bytes_in = 0;
    std::size_t bytes_out = 0;
    std::size_t number_cells = 0, text_cells = 0;
};

// One read as read_csv does it, with each column's conversion and finishing timed alone.
double staged_read(const std::string& path, std::vector<ColumnBudget>& budget, double& records_s,
                   bool count) {
    kelvra::InputFile file(path, "Cannot open file: ");
    kelvra::CsvTokenizer tokenizer(file);
    bool header = false;
    do {
        header = tokenizer.next();
    } while (header && tokenizer.empty_line());
    if (!header) return 0;
    const auto names = tokenizer.fields();
    const std::size_t width = names.size();
    if (budget.empty()) {
        for (const std::string_view name : names) budget.push_back({std::string(name)});
    }
    std::vector<std::unique_ptr<kelvra::Column>> columns;
    for (std::size_t i = 0; i < width; ++i) columns.push_back(std::make_unique<kelvra::Column>());
    std::vector<double> convert(width, 0), finish(width, 0);
    double records = 0;
    const Clock::time_point start = Clock::now();
    for (;;) {
        const Clock::time_point before = Clock::now();
        const std::size_t n = tokenizer.next_records(width, 1024);
        records += seconds_since(before);
        if (n == 0) break;
        for (std::size_t c = 0; c < width; ++c) {
            const Clock::time_point at = Clock::now();
            kelvra::append_csv_fields(*columns[c], tokenizer.column_fields(c), n);
            convert[c] += seconds_since(at);
            if (!count) continue;
            ColumnBudget& b = budget[c];
            const std::string_view* fields = tokenizer.column_fields(c);
            for (std::size_t r = 0; r < n; ++r) {
                const std::size_t size = fields[r].size();
                b.bytes_in += size + 1;
                const bool is_text = size != 0 &&
                                     (fields[r].front() < '0' || fields[r].front() > '9') &&
                                     fields[r].front() != '-';
                b.bytes_out += is_text && size > 12 ? size : 0;
                b.text_cells += is_text;
                b.number_cells += !is_text && size != 0;
            }
        }
    }
    for (std::size_t c = 0; c < width; ++c) {
        const Clock::time_point at = Clock::now();
        kelvra::ColumnBuilder(*columns[c]).finish();
        finish[c] = seconds_since(at);
        if (count) {
            const std::size_t rows = columns[c]->size();
            const bool strings = budget[c].text_cells != 0 && budget[c].number_cells == 0;
            budget[c].bytes_out +=
                rows * (strings ? 16 : 8) + rows / 8 +
                (budget[c].text_cells && budget[c].number_cells ? rows + 16 * budget[c].text_cells
                                                                : 0);
        }
    }
    const double total = seconds_since(start);
    for (std::size_t c = 0; c < width; ++c) {
        budget[c].seconds = count ? convert[c] : std::min(budget[c].seconds, convert[c]);
        budget[c].finish_seconds =
            count ? finish[c] : std::min(budget[c].finish_seconds, finish[c]);
    }
    records_s = records;
    return total;
}

void line(const char* stage, double seconds, double limit_bytes, double copy_speed,
          const char* note = "") {
    const double limit = limit_bytes / copy_speed;
    std::printf("%-26s %9.2f ms   limit %7.2f ms   %5.1fx   %s\n", stage, seconds * 1e3,
                limit * 1e3, limit > 0 ? seconds / limit : 0.0, note);
}

int run(const std::string& path, int repeats) {
    const double copy = copy_bytes_per_second();
    const std::vector<char> text = whole_file(path);
    const std::size_t size = text.size() - kelvra::kCsvBlock;
    std::printf("%s: %.1f MB; one core copies %.2f GB/s; best of %d runs\n", path.c_str(),
                static_cast<double>(size) / 1e6, copy / 1e9, repeats);

    // The input: the file read from the page cache into one reused 2 MB buffer.
    const std::size_t chunk = std::size_t{2} << 20;
    std::vector<char> buffer(chunk);
    const Sample input = best_of(repeats, [&] {
        kelvra::InputFile file(path, "Cannot open file: ");
        while (file.read(buffer.data(), chunk) != 0) {
        }
    });

    // The same with other buffer sizes, to see what the kernel's copy depends on.
    for (const std::size_t other :
         {std::size_t{128} << 10, std::size_t{512} << 10, std::size_t{8} << 20}) {
        std::vector<char> b(other);
        const Sample s = best_of(repeats, [&] {
            kelvra::InputFile file(path, "Cannot open file: ");
            while (file.read(b.data(), other) != 0) {
            }
        });
        std::printf("input read into %zu KB: %.2f ms\n", other >> 10, s.cpu * 1e3);
    }

    // A private mapping of the file instead, populated ahead and advised as sequential: no copy,
    // but page-table entries for every page, and a mapping whose pages vanish with the file.
    const Sample mapped = best_of(repeats, [&] {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
        if (map != MAP_FAILED) {
            (void)::madvise(map, size, MADV_SEQUENTIAL);
            ::munmap(map, size);
        }
        ::close(fd);
    });
    std::printf("input mapped, populated: %.2f ms (user %.2f, kernel %.2f)\n", mapped.cpu * 1e3,
                mapped.user * 1e3, mapped.sys * 1e3);

    // The structural scan of the bytes in memory, 4 KB at a time as the tokenizer does.
    constexpr std::size_t kStretch = 64 * kelvra::kCsvBlock;
    std::vector<std::size_t> ends(kStretch + kelvra::kCsvBlock);
    std::vector<std::size_t> breaks;
    std::size_t field_ends = 0;
    const kelvra::CsvBlockScanner scanner = kelvra::best_csv_block_scanner();
    const Sample scan = best_of(repeats, [&] {
        kelvra::CsvBlockCarry carry;
        kelvra::CsvBlockIndex index;
        index.ends = ends.data();
        index.quoted_breaks = &breaks;
        field_ends = 0;
        for (std::size_t at = 0; at < size; at += kStretch) {
            index.count = 0;
            breaks.clear();
            scanner(text.data(), at, std::min(size, at + kStretch), size, carry, index);
            field_ends += index.count;
        }
    });

    // The tokenizer alone: input, scan and record index together.
    std::size_t rows = 0;
    const Sample tokenize = best_of(repeats, [&] {
        kelvra::InputFile file(path, "Cannot open file: ");
        kelvra::CsvTokenizer tokenizer(file);
        tokenizer.next();
        const std::size_t width = tokenizer.fields().size();
        rows = 0;
        while (const std::size_t n = tokenizer.next_records(width, 1024)) rows += n;
    });

    // The conversions and finishing, each column alone, within whole reads.
    std::vector<ColumnBudget> budget;
    double records_s = 0;
    double staged = staged_read(path, budget, records_s, true);
    for (int i = 1; i < repeats; ++i) {
        double r = 0;
        staged = std::min(staged, staged_read(path, budget, r, false));
    }

    // The whole read, as make bench times it: a table alive, the result freed between runs.
    const PyDataFrame alive = PyDataFrame::read_csv(path);
    const Sample whole = best_of(repeats, [&] { PyDataFrame again = PyDataFrame::read_csv(path); });

    const double scan_only = scan.cpu;
    const double index_only = std::max(0.0, tokenize.cpu - input.cpu - scan.cpu);
    std::printf("\n%-26s %12s   %14s   %6s\n", "stage", "time", "its limit", "x");
    line("input (read into 2 MB)", input.cpu, static_cast<double>(size), copy, "kernel copy");
    std::printf("%-26s user %.2f ms, kernel %.2f ms\n", "", input.user * 1e3, input.sys * 1e3);
    line("structural scan", scan_only, static_cast<double>(size + field_ends * sizeof(std::size_t)),
         copy, "file read, ends written");
    line("record index", index_only, static_cast<double>(field_ends * (8 + 16)), copy,
         "ends read, views written");
    double converted = 0, finished = 0;
    for (const ColumnBudget& b : budget) {
        const std::string name = "convert " + b.name;
        line(name.c_str(), b.seconds, static_cast<double>(b.bytes_in + b.bytes_out + rows * 16),
             copy, "fields+views read, cells written");
        converted += b.seconds;
        finished += b.finish_seconds;
    }
    line("convert, all columns", converted, 0, copy);
    line("finish columns", finished, 0, copy);
    std::printf("%-26s %9.2f ms\n", "staged read, whole", staged * 1e3);
    std::printf("%-26s %9.2f ms   user %.2f ms, kernel %.2f ms (%.0f%% kernel), %ld faults\n",
                "read_csv, table alive", whole.cpu * 1e3, whole.user * 1e3, whole.sys * 1e3,
                100 * whole.sys / std::max(1e-9, whole.user + whole.sys), whole.faults);
    std::printf("%-26s %9.2f ms   (%zu rows, %zu fields)\n", "tokenizer alone", tokenize.cpu * 1e3,
                rows, field_ends);
    return 0;
}

// A file of one column per kind of field: int, double, short text, long text, quoted text, mixed
// (numbers and words), and missing (every other cell empty).
std::string write_kinds(std::size_t rows) {
    std::string path = "/tmp/kelvra-csv-kinds-" + std::to_string(rows) + ".csv";
    std::FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) std::exit(2);
    std::fputs("int,double,short_text,long_text,quoted,mixed,missing\n", out);
    std::uint64_t state = 88172645463325252u;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    static const char* const kWords[] = {"red", "green", "blue", "amber", "teal", "plum"};
    for (std::size_t r = 0; r < rows; ++r) {
        const std::uint64_t x = next();
        const auto i = static_cast<long long>(x % 2000001) - 1000000;
        const double d = static_cast<double>(x % 10000000) / 1000.0 - 5000.0;
        std::fprintf(out, "%lld,%.3f,%s,%s %s lorem ipsum %llu,\"%s, %s\",%s,%s\n", i, d,
                     kWords[x % 6], kWords[(x >> 8) % 6], kWords[(x >> 16) % 6],
                     static_cast<unsigned long long>(x % 100000), kWords[(x >> 24) % 6],
                     kWords[(x >> 32) % 6],
                     (x >> 40) % 10 < 7 ? std::to_string(i).c_str() : kWords[(x >> 44) % 6],
                     r % 2 ? "" : std::to_string(i).c_str());
    }
    std::fclose(out);
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--whole") {
        // read_csv alone, for a profiler.
        const PyDataFrame alive = PyDataFrame::read_csv(argv[2]);
        const Sample s = best_of(argc >= 4 ? std::atoi(argv[3]) : 20,
                                 [&] { PyDataFrame again = PyDataFrame::read_csv(argv[2]); });
        std::printf("read_csv: %.2f ms (user %.2f, kernel %.2f, %ld page faults)\n", s.cpu * 1e3,
                    s.user * 1e3, s.sys * 1e3, s.faults);
        return 0;
    }
    if (argc >= 3 && std::string(argv[1]) == "--kinds") {
        const std::string path = write_kinds(std::strtoull(argv[2], nullptr, 10));
        const int result = run(path, argc >= 4 ? std::atoi(argv[3]) : 5);
        ::unlink(path.c_str());
        return result;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: csv_stages PATH [REPEATS] | --kinds ROWS [REPEATS]\n");
        return 2;
    }
    return run(argv[1], argc >= 3 ? std::atoi(argv[2]) : 5);
}
