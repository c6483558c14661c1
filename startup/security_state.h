// security_state.h -- the process-wide identity that security_init fills,
// shared by the security sources of this library.
#pragma once

#include <mutex>
#include <vector>

#include "startup/security.h"

namespace kvf {

// Set once by security_init on the main thread; read by the rest.
extern SecurityIdentity g_identity;

// Finds the authentication mode (step 5 of the start-up); 0 or an error code.
int find_authentication_mode();

// The user table: 1753 chained buckets under one lock.
struct UserTable {
  std::mutex lock;
  std::vector<UserEntry*> buckets;
};
extern UserTable* g_user_table;
int create_user_table();
UserEntry* find_user(std::uint16_t number);  // caller holds the lock

}  // namespace kvf
