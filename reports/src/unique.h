// std::unique_ptr over a C library's handle, released by the library's own
// function: UniqueHandle<sqlite3, sqlite3_close_v2>. Both back ends hold
// their connections and statements this way.
#pragma once
#include <memory>

namespace reports {

template <auto Release>
struct Releaser {
    template <typename T>
    void operator()(T* handle) const {
        Release(handle);
    }
};

template <typename T, auto Release>
using UniqueHandle = std::unique_ptr<T, Releaser<Release>>;

}  // namespace reports
