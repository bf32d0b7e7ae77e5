// The spool with a typical 70-byte record: frame encoding, the reader over
// bytes in memory, and appending and reading through real files (a temporary
// directory, so the page cache, not the disk, sets the pace of reading).
// Counters: bytes_per_record is what one record costs on disk; reader
// throughput is bytes_per_second over whole frames.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "writer/spool_files.h"
#include "writer/spool_format.h"

namespace {

const std::string kRecord =
    "temp,host=node-17,mqtt=\"v1/hall/temperature\" value=21.55 1700000000123";

// A segment of `bytes` (about) made of kRecord frames.
std::string segment_of(std::size_t bytes) {
  std::string segment;
  while (segment.size() < bytes) encode_frame(kRecord, segment);
  return segment;
}

void encode(benchmark::State& state) {
  std::string frames;
  for (auto _ : state) {
    frames.clear();
    encode_frame(kRecord, frames);
    benchmark::DoNotOptimize(frames.data());
  }
  state.counters["record_bytes"] = static_cast<double>(kRecord.size());
  state.counters["bytes_per_record"] = static_cast<double>(frames.size());
}
BENCHMARK(encode);

void read_frames(benchmark::State& state) {
  const std::string segment = segment_of(std::size_t{4} << 20);
  std::size_t records = 0;
  for (auto _ : state) {
    FrameReader reader;
    std::size_t fed = 0;
    for (;;) {
      const FrameEvent event = reader.next();
      if (event.kind == FrameEvent::kEnd) break;
      if (event.kind == FrameEvent::kRecord) ++records;
      if (event.kind != FrameEvent::kNeedBytes) continue;
      if (fed == segment.size()) {
        reader.finish();
        continue;
      }
      const std::string_view piece = std::string_view(segment).substr(fed, kSpoolReadPieceBytes);
      reader.feed(piece);
      fed += piece.size();
    }
  }
  benchmark::DoNotOptimize(records);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * segment.size()));
}
BENCHMARK(read_frames)->Unit(benchmark::kMillisecond);

// A spool in a fresh temporary directory, removed afterwards.
class TemporarySpool {
 public:
  TemporarySpool() {
    char name[] = "/tmp/spool-bench-XXXXXX";
    dir_ = mkdtemp(name);
    Spool::open(dir_, SpoolOptions{}, spool_);
  }
  ~TemporarySpool() {
    spool_.reset();
    std::filesystem::remove_all(dir_);
  }
  Spool* operator->() { return spool_.get(); }
  bool ok() const { return spool_ != nullptr; }

 private:
  std::string dir_;
  std::unique_ptr<Spool> spool_;
};

void append(benchmark::State& state) {
  TemporarySpool spool;
  if (!spool.ok()) return state.SkipWithError("cannot open a spool");
  const std::uint64_t start = spool->end();
  for (auto _ : state) {
    if (!spool->append(kRecord).ok()) return state.SkipWithError("append failed");
  }
  state.counters["bytes_per_record"] =
      static_cast<double>(spool->end() - start) / static_cast<double>(state.iterations());
}
// A fixed count, so that strace -c can tell the system calls per record.
BENCHMARK(append)->Iterations(100000);

void read_spool(benchmark::State& state) {
  TemporarySpool spool;
  if (!spool.ok()) return state.SkipWithError("cannot open a spool");
  while (spool->end() < (std::uint64_t{16} << 20)) spool->append(kRecord);
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    spool->seek(0);
    SpoolEntry entry;
    while (spool->next(entry)) bytes += entry.after - entry.at;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(read_spool)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
