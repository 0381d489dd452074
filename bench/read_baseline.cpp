// The floor for comparing two uncompressed traces: map both files read-only and read every
// byte once, with one thread per CPU available to the process. Prints a checksum, so the reads
// cannot be optimised away, and the time of the read.
// Usage: vemo_read_baseline FILE_A FILE_B

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

class Mapping {
 public:
  explicit Mapping(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("cannot open ") + path);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_size <= 0) {
      ::close(fd);
      throw std::runtime_error(std::string("cannot size ") + path);
    }
    size_ = static_cast<std::size_t>(status.st_size);
    void* address = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (address == MAP_FAILED) throw std::runtime_error(std::string("cannot map ") + path);
    data_ = static_cast<const std::uint8_t*>(address);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { ::munmap(const_cast<std::uint8_t*>(data_), size_); }

  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

std::uint64_t sum_words(std::span<const std::uint8_t> bytes) {
  std::uint64_t sum = 0;
  std::size_t k = 0;
  for (; k + 8 <= bytes.size(); k += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + k, sizeof word);
    sum += word;
  }
  for (; k < bytes.size(); ++k) sum += bytes[k];
  return sum;
}

unsigned available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(std::thread::hardware_concurrency(), 1u);
}

// Each thread reads the same share of both files, as the comparison's jobs do.
std::uint64_t parallel_sum(const Mapping& a, const Mapping& b, unsigned threads) {
  std::vector<std::uint64_t> sums(threads, 0);
  std::vector<std::thread> workers;
  // Shares start on 8-byte boundaries, so the checksum does not depend on the thread count.
  const auto share = [threads](std::span<const std::uint8_t> bytes, unsigned k) {
    const auto boundary = [&](unsigned part) {
      return part == threads ? bytes.size() : bytes.size() / 8 * part / threads * 8;
    };
    return bytes.subspan(boundary(k), boundary(k + 1) - boundary(k));
  };
  for (unsigned k = 0; k < threads; ++k) {
    workers.emplace_back(
        [&, k] { sums[k] = sum_words(share(a.bytes(), k)) + sum_words(share(b.bytes(), k)); });
  }
  std::uint64_t total = 0;
  for (unsigned k = 0; k < threads; ++k) {
    workers[k].join();
    total += sums[k];
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: vemo_read_baseline FILE_A FILE_B\n", stderr);
    return 2;
  }
  try {
    const Mapping a(argv[1]);
    const Mapping b(argv[2]);
    const unsigned threads = available_cpus();
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t sum = parallel_sum(a, b, threads);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("threads %u checksum %016llx seconds %.6f\n", threads,
                static_cast<unsigned long long>(sum), elapsed.count());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vemo_read_baseline: %s\n", error.what());
    return 1;
  }
  return 0;
}
