#include "registry/ptr_list.h"

#include <new>

namespace kelvo {

PtrList::~PtrList() {
    FreeNodes();
}

bool PtrList::Append(void* data) {
    Node* node = new (std::nothrow) Node{nullptr, data};
    if (!node) return false;
    (head_ ? tail_->next : head_) = node;
    tail_ = node;
    ++count_;
    return true;
}

bool PtrList::Remove(const void* data) {
    Node* previous = nullptr;
    for (Node* node = head_; node; previous = node, node = node->next) {
        if (node->data != data) continue;
        (previous ? previous->next : head_) = node->next;
        if (tail_ == node) tail_ = previous;
        delete node;
        if (count_ > 0) --count_;
        return true;
    }
    return false;
}

bool PtrList::Contains(const void* data) const {
    for (const Node* node = head_; node; node = node->next) {
        if (node->data == data) return true;
    }
    return false;
}

void PtrList::FreeNodes() {
    while (head_) {
        Node* next = head_->next;
        delete head_;
        head_ = next;
    }
    tail_ = nullptr;
    count_ = 0;
}

}  // namespace kelvo
