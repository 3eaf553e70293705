#include "updater/block_pipeline.h"

#include <algorithm>
#include <system_error>

#include "platform/threads.h"

BlockPipeline::BlockPipeline(Consumer consume) : consume_(std::move(consume)) {
  try {
    thread_ = std::thread(&BlockPipeline::consumeQueuedBlocks, this);
  } catch (const std::system_error&) {
    // No thread to be had (a thread limit): the caller consumes every block itself.
  }
}

BlockPipeline::~BlockPipeline() {
  finish();
}

bool BlockPipeline::push(const void* data, size_t length) {
  if (finished_ || failed_.load()) return !failed_.load();
  if (!thread_.joinable()) {
    if (!consume_(static_cast<const unsigned char*>(data), length)) failed_ = true;
    return !failed_.load();
  }
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    if (gathered_.capacity() < kBlockSize) gathered_.reserve(kBlockSize);
    const size_t take = std::min(length, kBlockSize - gathered_.size());
    gathered_.insert(gathered_.end(), in, in + take);
    in += take;
    length -= take;
    if (gathered_.size() == kBlockSize) handOver();
  }
  return !failed_.load();
}

void BlockPipeline::handOver() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queued_.size() < kQueuedBlocks; });
  queued_.push_back(std::move(gathered_));
  gathered_.clear();
  if (!spare_.empty()) {
    gathered_ = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  changed_.notify_all();
}

void BlockPipeline::consumeQueuedBlocks() {
  nameThisThread("orvo-pipeline");
  for (;;) {
    std::vector<unsigned char> block;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !queued_.empty() || closing_; });
      if (queued_.empty()) return;  // closing, and everything consumed
      block = std::move(queued_.front());
      queued_.pop_front();
    }
    changed_.notify_all();
    // After a failure the queue is still drained, so that a waiting push goes on to see it.
    if (!failed_.load() && !consume_(block.data(), block.size())) failed_ = true;
    block.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    spare_.push_back(std::move(block));
  }
}

bool BlockPipeline::finish() {
  if (finished_) return !failed_.load();
  finished_ = true;
  if (!thread_.joinable()) return !failed_.load();
  if (!gathered_.empty() && !failed_.load()) handOver();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  thread_.join();  // the thread consumes what is queued before it ends
  return !failed_.load();
}
