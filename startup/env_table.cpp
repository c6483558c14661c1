// env_table.cpp -- the known-variable table: every setting the server and
// its libraries know by name, with default, flag and maximum length. A row's
// position is its index, which callers inside the libraries use directly.
#include <cstring>
#include <string>

#include "startup/settings.h"

namespace kvf {

constexpr KnownVariable known_variables[kKnownVariableCount] = {
    {"VLM_DATE_PATTERN", nullptr, 0, 0},  // 0
    {"DBDATE", nullptr, 1, 0},  // 1
    {"VLM_FIELD_SEP", nullptr, 0, 0},  // 2
    {"VLM_EDITOR", nullptr, 0, 0},  // 3
    {"VLM_FLOAT_DIGITS", nullptr, 0, 0},  // 4
    {"VLM_MONEY_FORMAT", nullptr, 0, 0},  // 5
    {"DBPATH", ".", 1, 0},  // 6
    {"VLM_PRINTER", "lp", 0, 0},  // 7
    {"VLM_REMOTE_SHELL", nullptr, 0, 0},  // 8
    {"DBLANG", nullptr, 1, 0},  // 9
    {"DBTEMP", "/tmp", 1, 0},  // 10
    {"VLM_TIME_FORMAT", nullptr, 0, 0},  // 11
    {"VLM_STATS_SPACE", nullptr, 0, 0},  // 12
    {"VLM_ANSI_WARN", nullptr, 0, 0},  // 13
    {"VLM_TEMP_SPACES", nullptr, 0, 0},  // 14
    {"VLM_LOAD_DIR", nullptr, 0, 0},  // 15
    {"DBSERVERNAME", nullptr, 0, 0},  // 16
    {"VLM_COMPAT_LEVEL", nullptr, 0, 0},  // 17
    {"ENVIGNORE", nullptr, 0, 0},  // 18
    {"VLM_FETCH_BUFFER", nullptr, 0, 0},  // 19
    {"VELMORACONTIME", nullptr, 0, 0},  // 20
    {"VELMORACONRETRY", nullptr, 0, 0},  // 21
    {"VELMORASQLHOSTS", nullptr, 0, 0},  // 22
    {"VELMORANDIR", "/usr/velmoran", 0, 256},  // 23
    {"VELMORANSERVER", nullptr, 0, 128},  // 24
    {"VELMORASTACKSIZE", nullptr, 0, 0},  // 25
    {"VELMORATERM", "termcap", 0, 0},  // 26
    {"VLM_CLIENT_NAME", nullptr, 0, 0},  // 27
    {"VELMORAKEYTAB", nullptr, 0, 0},  // 28
    {"VELMORASHMBASE", nullptr, 0, 0},  // 29
    {"VELMORAOPCACHE", nullptr, 0, 0},  // 30
    {"TERM", "dumb", 1, 0},  // 31
    {"TERMCAP", nullptr, 0, 0},  // 32
    {"TERMINFO", nullptr, 0, 0},  // 33
    {"TZ", nullptr, 1, 0},  // 34
    {"PATH", nullptr, 1, 0},  // 35
    {"HOME", nullptr, 0, 0},  // 36
    {"SHELL", nullptr, 0, 0},  // 37
    {"TMPDIR", nullptr, 0, 0},  // 38
    {"TMP", nullptr, 0, 0},  // 39
    {"TEMP", nullptr, 0, 0},  // 40
    {"USER", nullptr, 0, 0},  // 41
    {"LOGNAME", nullptr, 0, 0},  // 42
    {"EDITOR", nullptr, 0, 0},  // 43
    {"PAGER", nullptr, 0, 0},  // 44
    {"VLM_CASE_BLIND", nullptr, 0, 0},  // 45
    {"VLM_DEFAULT_GRANTS", nullptr, 0, 0},  // 46
    {"VLM_JOIN_METHOD", nullptr, 0, 0},  // 47
    {"VLM_OPT_MESSAGES", nullptr, 0, 0},  // 48
    {"DBNLS", nullptr, 1, 0},  // 49
    {"VLM_CODESET", nullptr, 0, 0},  // 50
    {"LANG", nullptr, 1, 0},  // 51
    {"LC_COLLATE", nullptr, 0, 0},  // 52
    {"LC_CTYPE", nullptr, 0, 0},  // 53
    {"LC_MONETARY", nullptr, 0, 0},  // 54
    {"LC_NUMERIC", nullptr, 0, 0},  // 55
    {"LC_TIME", nullptr, 0, 0},  // 56
    {"LC_MESSAGES", nullptr, 0, 0},  // 57
    {"LC_ALL", nullptr, 0, 0},  // 58
    {"NLSPATH", nullptr, 0, 0},  // 59
    {"VLM_PREPROCESSOR", nullptr, 0, 0},  // 60
    {"VLM_8BIT_NAMES", nullptr, 0, 0},  // 61
    {"VLM_CODESET_OVERRIDE", nullptr, 0, 0},  // 62
    {"VLM_CODESET_CONV", nullptr, 0, 0},  // 63
    {"GL_USEGLU", nullptr, 0, 0},  // 64
    {"DB_LOCALE", nullptr, 1, 0},  // 65
    {"CLIENT_LOCALE", nullptr, 1, 0},  // 66
    {"SERVER_LOCALE", nullptr, 0, 0},  // 67
    {"VLM_DATETIME_PATTERN", nullptr, 0, 0},  // 68
    {"VLM_DATE_ORDER", nullptr, 0, 0},  // 69
    {"VLM_8BIT_LEVEL", nullptr, 0, 0},  // 70
    {"VLM_CHAR_WIDTH", nullptr, 0, 0},  // 71
    {"VLM_SESSION_MODE", nullptr, 0, 0},  // 72
    {"DBMAXPROC", nullptr, 0, 0},  // 73
    {"DBNETTYPE", nullptr, 0, 0},  // 74
    {"DBLOGNAME", nullptr, 0, 0},  // 75
    {"DBSITE", nullptr, 0, 0},  // 76
    {"DBSORTBUF", nullptr, 0, 0},  // 77
    {"DBSORTTMP", nullptr, 0, 0},  // 78
    {"DBBLOBBUF", nullptr, 0, 0},  // 79
    {"DBBLOBDIR", nullptr, 0, 0},  // 80
    {"DBCONNECT", nullptr, 0, 0},  // 81
    {"DBCURSOR", nullptr, 0, 0},  // 82
    {"DBDEBUG", nullptr, 0, 0},  // 83
    {"DBDIRECT", nullptr, 0, 0},  // 84
    {"DBFLUSH", nullptr, 0, 0},  // 85
    {"DBFORM", nullptr, 0, 0},  // 86
    {"DBFORMAT", nullptr, 0, 0},  // 87
    {"DBHOST", nullptr, 0, 0},  // 88
    {"DBINIT", nullptr, 0, 0},  // 89
    {"DBLOG", nullptr, 0, 0},  // 90
    {"DBMAXCONN", nullptr, 0, 0},  // 91
    {"DBNOLOG", nullptr, 0, 0},  // 92
    {"DBOPTIONS", nullptr, 0, 0},  // 93
    {"DBPROFILE", nullptr, 0, 0},  // 94
    {"DBQUERY", nullptr, 0, 0},  // 95
    {"DBREAD", nullptr, 0, 0},  // 96
    {"DBRETRY", nullptr, 0, 0},  // 97
    {"DBROLE", nullptr, 0, 0},  // 98
    {"DBSCHEMA", nullptr, 0, 0},  // 99
    {"DBSECURE", nullptr, 0, 0},  // 100
    {"DBSERVICE", nullptr, 0, 0},  // 101
    {"DBSHELL", nullptr, 0, 0},  // 102
    {"DBSIZE", nullptr, 0, 0},  // 103
    {"DBSLEEP", nullptr, 0, 0},  // 104
    {"DBSPOOL", nullptr, 0, 0},  // 105
    {"DBSTAT", nullptr, 0, 0},  // 106
    {"DBSYNC", nullptr, 0, 0},  // 107
    {"DBTABLE", nullptr, 0, 0},  // 108
    {"DBTRACE", nullptr, 0, 0},  // 109
    {"DBUSER", nullptr, 0, 0},  // 110
    {"DBWAIT", nullptr, 0, 0},  // 111
    {"DBWRITE", nullptr, 0, 0},  // 112
    {"VLM_SORT_THREADS", nullptr, 0, 0},  // 113
    {"VLM_SORT_DIR", nullptr, 0, 0},  // 114
    {"VLM_PARALLEL_PRIORITY", nullptr, 0, 0},  // 115
    {"VLM_AUTO_FREE", nullptr, 0, 0},  // 116
    {"VLM_DEFER_PREPARE", nullptr, 0, 0},  // 117
    {"VLM_FREE_FD", nullptr, 0, 0},  // 118
    {"VLM_NET_BUFFER", nullptr, 0, 0},  // 119
    {"VLM_NET_BUFFER_POOL", nullptr, 0, 0},  // 120
    {"VLM_DIRECTIO", nullptr, 0, 0},  // 121
    {"VLM_NOFUZZY", nullptr, 0, 0},  // 122
    {"VLM_LONGID", nullptr, 0, 0},  // 123
    {"VLM_PAD_VARCHAR", nullptr, 0, 0},  // 124
    {"VLM_UPDDESC", nullptr, 0, 0},  // 125
    {"VLM_TRACE_DIR", nullptr, 0, 0},  // 126
    {"VLM_TRACE_SIZE", nullptr, 0, 0},  // 127
    {"VLM_SHM_DEBUG", nullptr, 0, 0},  // 128
    {"VLM_SIG_DEBUG", nullptr, 0, 0},  // 129
    {"VLM_NO_TIMEOUT", nullptr, 0, 0},  // 130
    {"VLM_LOCK_WAIT", nullptr, 0, 0},  // 131
    {"VLM_CHECKPOINT_WAIT", nullptr, 0, 0},  // 132
    {"VLM_LOG_BUFFERS", nullptr, 0, 0},  // 133
    {"VLM_MAX_SESSIONS", nullptr, 0, 0},  // 134
    {"VLM_NET_TIMEOUT", nullptr, 0, 0},  // 135
    {"VLM_NET_RETRY", nullptr, 0, 0},  // 136
    {"VLM_NET_KEEPALIVE", nullptr, 0, 0},  // 137
    {"VLM_SOCKET_BUF", nullptr, 0, 0},  // 138
    {"VLM_SERVICE_PORT", nullptr, 0, 0},  // 139
    {"VLM_AUTH_MODE", nullptr, 0, 0},  // 140
    {"VLM_AUTH_LIBRARY", nullptr, 0, 0},  // 141
    {"VLM_SSL_KEYSTORE", nullptr, 0, 0},  // 142
    {"VLM_SSL_STASH", nullptr, 0, 0},  // 143
    {"VLM_SSL_LABEL", nullptr, 0, 0},  // 144
    {"VLM_AUDIT_DIR", nullptr, 0, 0},  // 145
    {"VLM_AUDIT_MODE", nullptr, 0, 0},  // 146
    {"VLM_BAR_DIR", nullptr, 0, 0},  // 147
    {"VLM_BAR_TIMEOUT", nullptr, 0, 0},  // 148
    {"VLM_ARCHIVE_DEVICE", nullptr, 0, 0},  // 149
    {"VLM_ARCHIVE_BLOCK", nullptr, 0, 0},  // 150
    {"VLM_TAPE_DEVICE", nullptr, 0, 0},  // 151
    {"VLM_TAPE_SIZE", nullptr, 0, 0},  // 152
    {"VLM_TAPE_BLOCK", nullptr, 0, 0},  // 153
    {"VLM_LOG_DEVICE", nullptr, 0, 0},  // 154
    {"VLM_LOG_SIZE", nullptr, 0, 0},  // 155
    {"VLM_MSGPATH", nullptr, 0, 0},  // 156
    {"VLM_CONSOLE", nullptr, 0, 0},  // 157
    {"VLM_ALARM_PROGRAM", nullptr, 0, 0},  // 158
    {"VLM_DUMP_DIR", nullptr, 0, 0},  // 159
    {"VLM_DUMP_SHMEM", nullptr, 0, 0},  // 160
    {"VLM_DUMP_CORE", nullptr, 0, 0},  // 161
    {"VLM_DUMP_GCORE", nullptr, 0, 0},  // 162
    {"VLM_DUMP_CNT", nullptr, 0, 0},  // 163
    {"VLM_VP_CLASS", nullptr, 0, 0},  // 164
    {"VLM_VP_AFFINITY", nullptr, 0, 0},  // 165
    {"VLM_VP_MEMORY", nullptr, 0, 0},  // 166
    {"VLM_CPU_COUNT", nullptr, 0, 0},  // 167
    {"VLM_AIO_COUNT", nullptr, 0, 0},  // 168
    {"VLM_KAIO_OFF", nullptr, 0, 0},  // 169
    {"VLM_STACK_SIZE", nullptr, 0, 0},  // 170
    {"VLM_THREAD_DEBUG", nullptr, 0, 0},  // 171
    {"VLM_MUTEX_SPIN", nullptr, 0, 0},  // 172
    {"VLM_LATCH_SPIN", nullptr, 0, 0},  // 173
    {"VLM_BUFFER_POOL", nullptr, 0, 0},  // 174
    {"VLM_LRU_QUEUES", nullptr, 0, 0},  // 175
    {"VLM_LRU_MIN", nullptr, 0, 0},  // 176
    {"VLM_LRU_MAX", nullptr, 0, 0},  // 177
    {"VLM_CLEANERS", nullptr, 0, 0},  // 178
    {"VLM_READ_AHEAD", nullptr, 0, 0},  // 179
    {"VLM_SORT_MEMORY", nullptr, 0, 0},  // 180
    {"VLM_HASH_MEMORY", nullptr, 0, 0},  // 181
    {"VLM_QUERY_MEMORY", nullptr, 0, 0},  // 182
    {"VLM_STMT_CACHE", nullptr, 0, 0},  // 183
    {"VLM_PLAN_CACHE", nullptr, 0, 0},  // 184
    {"VLM_OPT_GOAL", nullptr, 0, 0},  // 185
    {"VLM_OPT_TIMEOUT", nullptr, 0, 0},  // 186
    {"VLM_EXPLAIN_DIR", nullptr, 0, 0},  // 187
    {"VLM_EXPLAIN_MODE", nullptr, 0, 0},  // 188
    {"VLM_STATS_MODE", nullptr, 0, 0},  // 189
    {"VLM_STATS_SAMPLE", nullptr, 0, 0},  // 190
    {"VLM_REPL_MODE", nullptr, 0, 0},  // 191
    {"VLM_REPL_DIR", nullptr, 0, 0},  // 192
    {"VLM_REPL_QUEUE", nullptr, 0, 0},  // 193
    {"VLM_REPL_TIMEOUT", nullptr, 0, 0},  // 194
    {"VLM_HA_ALIAS", nullptr, 0, 0},  // 195
    {"VLM_HA_MODE", nullptr, 0, 0},  // 196
    {"VLM_CLUSTER_NAME", nullptr, 0, 0},  // 197
    {"VLM_NODE_NAME", nullptr, 0, 0},  // 198
    {"VLM_NODE_ID", nullptr, 0, 0},  // 199
    {"VLM_TEMPTAB_NOLOG", nullptr, 0, 0},  // 200
    {"VLM_TEMPTAB_DIR", nullptr, 0, 0},  // 201
    {"VLM_BLOB_SPACE", nullptr, 0, 0},  // 202
    {"VLM_BLOB_PAGE", nullptr, 0, 0},  // 203
    {"VLM_EXT_DIR", nullptr, 0, 0},  // 204
    {"VLM_EXT_TYPES", nullptr, 0, 0},  // 205
    {"VLM_UDR_DIR", nullptr, 0, 0},  // 206
    {"VLM_UDR_DEBUG", nullptr, 0, 0},  // 207
    {"VLM_JAVA_HOME", nullptr, 0, 0},  // 208
    {"VLM_JAVA_OPTS", nullptr, 0, 0},  // 209
    {"VLM_CLASSPATH", nullptr, 0, 0},  // 210
    {"VLM_LIBPATH", nullptr, 0, 0},  // 211
    {"VLM_PLUGIN_DIR", nullptr, 0, 0},  // 212
    {"VLM_HOSTNAME", nullptr, 0, 0},  // 213
    {"VLM_SERVERNUM", nullptr, 0, 0},  // 214
    {"VLM_ROOTPATH", nullptr, 0, 0},  // 215
    {"VLM_ROOTSIZE", nullptr, 0, 0},  // 216
    {"VLM_ROOTOFFSET", nullptr, 0, 0},  // 217
    {"VLM_MIRROR_PATH", nullptr, 0, 0},  // 218
    {"VLM_MIRROR_OFFSET", nullptr, 0, 0},  // 219
    {"VLM_PHYSFILE", nullptr, 0, 0},  // 220
};

namespace {
constexpr bool row_is(int i, const char* name) {
  return std::char_traits<char>::compare(known_variables[i].name, name,
                                         std::char_traits<char>::length(name) + 1) == 0;
}
}  // namespace

// The rows the tool's own paths rely on stay where the callers look for them.
static_assert(row_is(kVarDblang, "DBLANG") && row_is(kVarEnvignore, "ENVIGNORE"));
static_assert(row_is(kVarVelmorandir, "VELMORANDIR") && known_variables[kVarVelmorandir].max_length == 256);
static_assert(row_is(kVarVelmoranserver, "VELMORANSERVER") &&
              known_variables[kVarVelmoranserver].max_length == 128);
static_assert(row_is(kVarDbnls, "DBNLS") && row_is(kVarLang, "LANG"));
static_assert(row_is(52, "LC_COLLATE") && row_is(53, "LC_CTYPE") && row_is(54, "LC_MONETARY") &&
              row_is(55, "LC_NUMERIC") && row_is(56, "LC_TIME"));
static_assert(row_is(kVarGlUseglu, "GL_USEGLU") && row_is(kVarDbLocale, "DB_LOCALE"));
static_assert(row_is(kVarClientLocale, "CLIENT_LOCALE") &&
              row_is(kVarServerLocale, "SERVER_LOCALE"));
static_assert(row_is(kVarVlmFreeFd, "VLM_FREE_FD"));

int known_variable_index(const char* name) {
  if (!name) return -1;
  for (int i = 0; i < kKnownVariableCount; ++i)
    if (std::strcmp(known_variables[i].name, name) == 0) return i;
  return -1;
}

}  // namespace kvf
