// A singly linked list of untyped pointers in insertion order. The list owns
// its nodes, not the data they point to.
#pragma once

#include <cstdint>

namespace kelvo {

class PtrList {
  public:
    struct Node {
        Node* next;
        void* data;
    };

    PtrList() = default;
    PtrList(const PtrList&) = delete;
    PtrList& operator=(const PtrList&) = delete;
    virtual ~PtrList();

    // Adds data at the tail; false (list unchanged) when no node can be had.
    bool Append(void* data);
    // Unlinks the first node holding data; false when there is none.
    bool Remove(const void* data);
    // True when some node holds exactly this pointer.
    bool Contains(const void* data) const;
    std::int32_t Count() const { return count_; }
    const Node* First() const { return head_; }

  protected:
    // Frees every node; the data stays with its owner.
    void FreeNodes();

  private:
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    std::int32_t count_ = 0;
};

}  // namespace kelvo
