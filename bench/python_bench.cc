#include "python_bench.h"

#include <cstdio>
#include <sstream>
#include <thread>
#include <vector>

#include "quillstone_dat/dat_database.h"
#include "read_bench.h"
#include "timing.h"

namespace quillstone_dat::bench {
namespace {

std::string shell_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// Runs the script in one mode and returns the seconds it prints; none,
// with `failure` set, when it fails.
std::optional<std::vector<double>> run_script(
    const std::filesystem::path& python, const std::filesystem::path& script,
    const std::vector<std::string>& args, std::string& failure) {
  std::string command = shell_quoted(python) + " " + shell_quoted(script);
  for (const std::string& arg : args) command += " " + shell_quoted(arg);
  FILE* const pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    failure = "cannot start " + python.string();
    return std::nullopt;
  }
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  if (::pclose(pipe) != 0) {
    failure = "python_bench.py " + args.front() + " failed";
    return std::nullopt;
  }
  std::istringstream values(output);
  std::vector<double> seconds;
  for (double value; values >> value;) seconds.push_back(value);
  if (seconds.empty()) {
    failure = "python_bench.py " + args.front() + " printed nothing";
    return std::nullopt;
  }
  return seconds;
}

std::optional<DatDatabase> open_quietly(const std::filesystem::path& path,
                                        std::string& failure) {
  auto database = DatDatabase::open(path);
  if (!database) {
    failure = "cannot open " + path.string() + ": " + database.error().debug();
    return std::nullopt;
  }
  return std::move(*database);
}

// The ids python_bench.py picks: kGetIds spread evenly over the ascending
// ids.
std::vector<std::uint32_t> spread_ids(const DatDatabase& database) {
  const std::vector<std::uint32_t> ids = ids_in_order(database);
  std::vector<std::uint32_t> picked;
  if (ids.empty()) return picked;
  picked.reserve(kGetIds);
  for (std::size_t i = 0; i < kGetIds; ++i) {
    picked.push_back(ids[i * ids.size() / kGetIds]);
  }
  return picked;
}

// for_each_file over `ids`, as python_bench.py's items() over a half.
void batch_read(const DatDatabase& database,
                const std::vector<std::uint32_t>& ids) {
  std::uint64_t bytes = 0;
  database.for_each_file(FileSelection::of(ids), {},
                         [&](const BatchFile& file) {
                           if (file.bytes) bytes += file.bytes->size();
                         });
  if (bytes == 0) std::fprintf(stderr, "quillstone_dat_bench: empty pass\n");
}

// One thread's time over two threads' for bulk's ids in two halves.
double cpp_threads_speedup(const DatDatabase& database) {
  const std::vector<std::uint32_t> ids = ids_in_order(database);
  const std::vector<std::uint32_t> first(ids.begin(),
                                         ids.begin() + ids.size() / 2);
  const std::vector<std::uint32_t> second(ids.begin() + ids.size() / 2,
                                          ids.end());
  const double one = seconds_of([&] {
    batch_read(database, first);
    batch_read(database, second);
  });
  const double two = seconds_of([&] {
    std::jthread helper([&] { batch_read(database, second); });
    batch_read(database, first);
  });
  return one / two;
}

}  // namespace

PythonFigures measure_python(const BenchArchives& archives,
                             const std::filesystem::path& python,
                             const std::filesystem::path& script, int runs) {
  PythonFigures figures;
  auto bulk = open_quietly(archives.bulk, figures.failure);
  auto wide = open_quietly(archives.wide, figures.failure);
  if (!bulk || !wide) return figures;
  const std::vector<std::uint32_t> picked = spread_ids(*wide);
  get_every_file(*wide, picked, 1);  // warms the allocator
  batch_read_every_file(*bulk);

  std::vector<double> items, get, threads, cpp_threads;
  for (int i = 0; i < runs; ++i) {
    const double cpp_items = batch_read_every_file(*bulk).seconds;
    const auto py_items =
        run_script(python, script, {"items", archives.bulk}, figures.failure);
    if (!py_items) return figures;
    items.push_back(cpp_items / py_items->front());

    const double cpp_get = get_every_file(*wide, picked, 1).seconds;
    const auto py_get = run_script(
        python, script, {"get", archives.wide, std::to_string(kGetIds)},
        figures.failure);
    if (!py_get) return figures;
    get.push_back(py_get->front() / cpp_get);

    const auto py_threads =
        run_script(python, script, {"threads", archives.bulk}, figures.failure);
    if (!py_threads || py_threads->size() != 2) return figures;
    threads.push_back((*py_threads)[0] / (*py_threads)[1]);
    cpp_threads.push_back(cpp_threads_speedup(*bulk));
  }
  figures.items_vs_cpp = median(items);
  figures.get_vs_cpp = median(get);
  figures.threads_speedup_2 = median(threads);
  figures.cpp_threads_speedup_2 = median(cpp_threads);
  return figures;
}

}  // namespace quillstone_dat::bench
