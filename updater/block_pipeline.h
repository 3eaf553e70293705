// Hands bytes, in order, to a consumer on its own thread, so that a stage's digest or write runs
// beside its cipher or network work instead of after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The bytes are copied into a few bounded blocks (at most kQueuedBlocks of kBlockSize); push waits
// while they are all queued. When no thread can be started, push consumes on the caller's thread.
// The consumer returns false when it failed (a write that did not go through): nothing more is
// consumed, and push and finish say so, so the producer stops at its next block.
class BlockPipeline {
 public:
  using Consumer = std::function<bool(const unsigned char* data, size_t length)>;
  explicit BlockPipeline(Consumer consume);
  ~BlockPipeline();  // finishes
  BlockPipeline(const BlockPipeline&) = delete;
  BlockPipeline& operator=(const BlockPipeline&) = delete;

  // False once the consumer has failed (then the bytes are dropped).
  bool push(const void* data, size_t length);
  // Hands over the last partial block and returns once the consumer has had everything; later
  // pushes are dropped. False when the consumer failed on any block.
  bool finish();

 private:
  static constexpr size_t kBlockSize = 256 * 1024;
  static constexpr size_t kQueuedBlocks = 4;
  void handOver();             // queues the gathered block, waiting while the queue is full
  void consumeQueuedBlocks();  // the thread's body

  Consumer consume_;
  std::atomic<bool> failed_{false};      // the consumer returned false; set by the consuming thread
  bool finished_ = false;                // the caller's
  std::vector<unsigned char> gathered_;  // the caller's block being filled
  std::mutex mutex_;                     // guards the next three
  std::condition_variable changed_;
  std::deque<std::vector<unsigned char>> queued_;
  std::vector<std::vector<unsigned char>> spare_;  // consumed blocks, for reuse
  bool closing_ = false;
  std::thread thread_;
};
