// catalogues.cpp -- the constant component, feature and level tables, with
// name lookups by scan and id lookups through tables built at compile time.
#include "control/catalogues.h"

#include <array>
#include <cstring>

#include "layouts/control_block_layout.h"

namespace kvf {
namespace {

constexpr CatalogueEntry kComponents[] = {
    {"KVF_TEST_C", 1}, {"KVF_BFR_MGR", 2}, {"KVF_LCK_MGR", 3}, {"KVF_ACC_MGR", 4},
    {"KVF_XN_MGR", 5}, {"KVF_CMPLR", 6}, {"KVF_OPTMZR", 7}, {"KVF_TREE_GEN", 8},
    {"KVF_OPRTR", 9}, {"KVF_MDM", 10}, {"KVF_RQM", 11}, {"KVF_RGM", 12},
    {"KVF_SCH", 13}, {"KVF_DFM", 14}, {"KVF_XMF", 15}, {"KVF_BUM", 16},
    {"KVF_XBAR", 17}, {"KVF_DORVEL", 18}, {"KVF_SORT", 19}, {"KVF_SHMEM", 20},
    {"KVF_ASF", 21}, {"KVF_TLI", 22}, {"KVF_MUTEX", 23}, {"KVF_SOCKETS", 24},
    {"KVF_HDR", 25}, {"KVF_C_GFI", 26}, {"KVF_IDXBUILD", 27}, {"KVF_EX", 28},
    {"KVF_TEMP_COMP", 29}, {"KVF_GENPG", 30}, {"KVF_AM", 31}, {"KVF_SAPI", 32},
    {"KVF_ELM", 33}, {"KVF_RSAM_MISC", 34}, {"KVF_BLOB", 35}, {"KVF_ZRCHECK", 36},
    {"KVF_RSAMACCESS", 37}, {"KVF_SBLOB", 38}, {"KVF_TIMESTAMP", 39}, {"KVF_ARCBU", 40},
    {"KVF_CDR_RQM", 41}, {"KVF_CDRIF_NIF", 42}, {"KVF_CDR_DBX", 43}, {"KVF_CDR_DSS", 44},
    {"KVF_CDR_GCC", 45}, {"KVF_CDR_GRP", 46}, {"KVF_CDR_NIF", 47}, {"KVF_CDR_QUE", 48},
    {"KVF_CDR_RMM", 49}, {"KVF_CDR_NET", 50}, {"KVF_CDR_SMAN", 51}, {"KVF_CDR_RSNC", 52},
    {"KVF_CDR_CONFIG", 53}, {"KVF_CDR", 54}, {"KVF_SQERR", 55}, {"KVF_expr", 56},
    {"KVF_SQL", 57}, {"KVF_SSC", 58}, {"KVF_RSAMADMIN", 59}, {"KVF_RSAMCHKSUM", 60},
    {"KVF_IPTRACE", 61}, {"KVF_CHECKPOINT", 62}, {"KVF_PLOG", 63}, {"KVF_BTREE", 64},
    {"KVF_FLUSHER", 65}, {"KVF_PARTITION", 66}, {"KVF_IO", 67}, {"KVF_DATABASE", 68},
    {"KVF_BUFQ", 69}, {"KVF_LGR", 70}, {"KVF_SYSDBPROC", 71}, {"KVF_SMX", 72},
    {"KVF_CLONE", 73}, {"KVF_SQLACCESS", 74}, {"KVF_DRDA", 75}, {"KVF_PROXYWRITE", 76},
    {"KVF_SSL", 77}, {"KVF_SPL", 78}, {"KVF_SCHAPI", 79}, {"KVF_MAX_MEMORY_POOL", 80},
    {"KVF_LOGSNOOP", 81}, {"KVF_TABCAP", 82}, {"KVF_CDCXFORM", 83}, {"KVF_CDCUTIL", 84},
    {"KVF_CACHE", 85}, {"KVF_RW_LOCK", 86}, {"KVF_DB_SCHED", 87}, {"KVF_RMAP", 88},
    {"KVF_XPLOAD", 89}, {"KVF_XPL_AIO", 90}, {"KVF_QA", 99}, {"KVF_SNAPSHOT", 100},
    {"KVF_GRID", 101}, {"KVF_READAHEAD", 102}, {"KVF_MAP_CACHE", 103}, {"KVF_UPDSTATS", 104},
    {"KVF_BTCS", 105}, {"KVF_ITEM", 106}, {"KVF_LOCAL_USER", 107}, {"KVF_ISENTER", 108},
    {"KVF_CLIENT", 109}, {"KVF_TIMESERIES", 110}, {"KVF_SQL_CACHE", 111},
    {"KVF_TRUSTHOST_CACHE", 112}, {"KVF_LC", 113}, {"KVF_DD_HIERARCHY", 114},
    {"KVF_ZRGUARD", 115}, {"KVF_CLIX", 116}, {"KVF_EAR", 117},
};

constexpr CatalogueEntry kFeatures[] = {
    {"KVF_TEST_F", 1}, {"KVF_MEM", 2}, {"KVF_CALL", 3}, {"KVF_MSG", 4},
    {"KVF_TRANS", 5}, {"KVF_PRED", 6}, {"KVF_CNTRL", 7}, {"KVF_ERR", 8},
    {"KVF_EVENT", 9}, {"KVF_SYSCALLS", 10}, {"KVF_RESULT", 11}, {"KVF_F_GFI", 12},
    {"KVF_PLAN", 13}, {"KVF_TEMP_FEATURE", 14}, {"KVF_INFO", 15}, {"KVF_ARGS", 15},
    {"KVF_DEBUG", 16}, {"KVF_LLBUFF", 17}, {"KVF_PASS", 18}, {"KVF_TRANX", 19},
    {"KVF_DB", 20}, {"KVF_MEMP", 21}, {"KVF_CDR_CALL", 22}, {"KVF_CDR_CLOSE", 23},
    {"KVF_CDR_UPDATE", 24}, {"KVF_CDR_ERROR", 25}, {"KVF_CDR_INIT", 26},
    {"KVF_CDR_INTERNAL", 27}, {"KVF_CDR_TRACK", 28}, {"KVF_CDR_UT", 29},
    {"KVF_CDR_SES", 30}, {"KVF_USEC", 31}, {"KVF_RSAMCALL", 32}, {"KVF_NSFCALLS", 33},
    {"KVF_SMX_MSG", 34}, {"KVF_REQUIRE", 35}, {"KVF_DELAYED_APPLY", 36},
    {"KVF_TXN_SURVIVAL", 37}, {"KVF_PAM", 38}, {"KVF_AQT", 39}, {"KVF_CDR_TS", 40},
};

static_assert(std::size(kComponents) == 109);
static_assert(std::size(kFeatures) == 41);

constexpr const char* kLevelNames[] = {"off", "lite", "med", "heavy"};

// Id -> first name, for every id an entry may have.
template <std::size_t N, std::size_t M>
constexpr std::array<const char*, M> by_id(const CatalogueEntry (&table)[N]) {
  std::array<const char*, M> names{};
  for (const auto& e : table)
    if (names[static_cast<std::size_t>(e.id)] == nullptr) names[static_cast<std::size_t>(e.id)] = e.name;
  return names;
}

constexpr auto kComponentNames = by_id<std::size(kComponents), control::kComponentRows>(kComponents);
constexpr auto kFeatureNames = by_id<std::size(kFeatures), control::kFeatureColumns>(kFeatures);

std::int32_t lookup(std::span<const CatalogueEntry> table, const char* name) {
  for (const auto& e : table)
    if (std::strcmp(e.name, name) == 0) return e.id;
  return -1;
}

}  // namespace

std::span<const CatalogueEntry> component_catalogue() { return kComponents; }
std::span<const CatalogueEntry> feature_catalogue() { return kFeatures; }

std::int32_t component_id(const char* name) { return lookup(kComponents, name); }
std::int32_t feature_id(const char* name) { return lookup(kFeatures, name); }

const char* component_name(std::uint32_t id) {
  return id < kComponentNames.size() ? kComponentNames[id] : nullptr;
}
const char* feature_name(std::uint32_t id) {
  return id < kFeatureNames.size() ? kFeatureNames[id] : nullptr;
}

const char* level_name(int level) {
  return level >= 0 && level < 4 ? kLevelNames[level] : nullptr;
}

}  // namespace kvf
