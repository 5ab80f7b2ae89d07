// A table of connections keyed by socket handle: 32 buckets (handle modulo 32), each the head of
// a chain linked through the object's `next` field, newest first. Walks go bucket 0 to 31, each
// chain from its head. The table links objects; it does not own them (the engine does).
#pragma once

#include <array>
#include <cstddef>

namespace qorda::engine {

inline constexpr int kBuckets = 32;

template <class T>
class ConnTable {
 public:
  static int bucket(int sock) { return static_cast<int>(static_cast<unsigned>(sock) % kBuckets); }

  // Inserts at the head of the object's bucket.
  void add(T* c) {
    T*& head = heads_[bucket(c->sock)];
    c->next = head;
    head = c;
    ++size_;
  }

  // Unlinks the object; false when it is not in its bucket.
  bool remove(T* c) {
    for (T** p = &heads_[bucket(c->sock)]; *p != nullptr; p = &(*p)->next) {
      if (*p == c) {
        *p = c->next;
        c->next = nullptr;
        --size_;
        return true;
      }
    }
    return false;
  }

  T* find(int sock) const {
    for (T* c = heads_[bucket(sock)]; c != nullptr; c = c->next) {
      if (c->sock == sock) return c;
    }
    return nullptr;
  }

  T* head(int b) const { return heads_[b]; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    heads_.fill(nullptr);
    size_ = 0;
  }

 private:
  std::array<T*, kBuckets> heads_{};
  size_t size_ = 0;
};

}  // namespace qorda::engine
