// The library's containers, below any Python value: handles that close themselves, one add
// for a field record of any type, and maps and streams built aside, in memory of their own,
// for one of the library's copying calls (setUserPropertyMap, setBinaryAttachmentContainer,
// addContainer) to take whole, so that a refusal midway leaves nothing half-written.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <utility>

#include "solclient.h"

namespace zelmsg {

namespace py = pybind11;

// A container handle this code opened, closed when it goes: every get of a map or stream,
// and every field read that is one, hands out a reference that wants its close.
class OpenContainer {
public:
    OpenContainer() = default;
    explicit OpenContainer(solClient_opaqueContainer_pt handle) : handle_(handle) {}
    OpenContainer(OpenContainer &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OpenContainer &operator=(OpenContainer &&other) noexcept {
        std::swap(handle_, other.handle_);  // other closes what this held
        return *this;
    }
    ~OpenContainer() { close(); }

    void close() {
        if (handle_) solClient_container_closeMapStream(&handle_);
        handle_ = nullptr;
    }
    solClient_opaqueContainer_pt get() const { return handle_; }
    // Where a call that opens a container puts its handle; the library writes it only on success.
    solClient_opaqueContainer_pt *out() { return &handle_; }

private:
    solClient_opaqueContainer_pt handle_ = nullptr;
};

// Adds a field record under name (null in a stream): the one library add of its type; a MAP or
// STREAM record's value is a container that addContainer copies.
solClient_returnCode_t add_field(solClient_opaqueContainer_pt container, const char *name,
                                 const solClient_field_t &field);

// A map or stream built aside. The library builds a standalone container in memory of a fixed
// size and refuses a field that does not fit; this one then moves what it holds into memory
// twice as large and adds the field again. It starts in a block that an earlier container
// gave back, so that most writes neither size nor allocate anything.
class AsideContainer {
public:
    enum Kind { map, stream };
    // fields: how many fields it will hold, where that is known, for a first size.
    AsideContainer(Kind kind, std::size_t fields);
    AsideContainer(AsideContainer &&) noexcept = default;
    ~AsideContainer();

    solClient_opaqueContainer_pt get() const { return container_.get(); }
    // Adds a field; raises ValueError for a field the library refuses.
    void add(const char *name, const solClient_field_t &field);

private:
    void make(std::size_t size);
    // Makes the container again in memory that leaves room for needed more bytes.
    void grow(std::size_t needed);

    Kind kind_;
    std::unique_ptr<char[]> memory_;  // the library builds in it until the last close
    std::size_t size_ = 0;
    OpenContainer container_;  // declared after memory_, so closed before it goes
};

}  // namespace zelmsg
