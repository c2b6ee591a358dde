#pragma once
// Turning the rows of a storage generation into users.
#include <vector>

#include <svsdk/SVUser.h>

namespace svsdk {

// The users that `make` reads from the rows that `fetch` gives, in order. A
// row that does not read as a user is left out, and a failed fetch gives
// nobody: a damaged row must not hide the others.
template <class Fetch, class Make>
std::vector<SVUser> usersOfRows(Fetch&& fetch, Make&& make) {
    std::vector<SVUser> users;
    decltype(fetch()) rows;
    try {
        rows = fetch();
    } catch (...) {
        return users;
    }
    for (const auto& row : rows) {
        try {
            users.push_back(make(row));
        } catch (...) {
        }
    }
    return users;
}

}  // namespace svsdk
