# bash completion for kavrex and its companion programs. Installed as
# share/bash-completion/completions/kavrex; each companion's name there is
# a link to this file, which completes all of them.

_kavrex_names() {
  # The component (c) or feature (f) names the level commands accept.
  case $1 in
    c) echo "KVF_TEST_C KVF_BFR_MGR KVF_LCK_MGR KVF_ACC_MGR KVF_XN_MGR KVF_CMPLR KVF_OPTMZR
KVF_TREE_GEN KVF_OPRTR KVF_MDM KVF_RQM KVF_RGM KVF_SCH KVF_DFM KVF_XMF KVF_BUM KVF_XBAR
KVF_DORVEL KVF_SORT KVF_SHMEM KVF_ASF KVF_TLI KVF_MUTEX KVF_SOCKETS KVF_HDR KVF_C_GFI
KVF_IDXBUILD KVF_EX KVF_TEMP_COMP KVF_GENPG KVF_AM KVF_SAPI KVF_ELM KVF_RSAM_MISC KVF_BLOB
KVF_ZRCHECK KVF_RSAMACCESS KVF_SBLOB KVF_TIMESTAMP KVF_ARCBU KVF_CDR_RQM KVF_CDRIF_NIF
KVF_CDR_DBX KVF_CDR_DSS KVF_CDR_GCC KVF_CDR_GRP KVF_CDR_NIF KVF_CDR_QUE KVF_CDR_RMM
KVF_CDR_NET KVF_CDR_SMAN KVF_CDR_RSNC KVF_CDR_CONFIG KVF_CDR KVF_SQERR KVF_expr KVF_SQL
KVF_SSC KVF_RSAMADMIN KVF_RSAMCHKSUM KVF_IPTRACE KVF_CHECKPOINT KVF_PLOG KVF_BTREE
KVF_FLUSHER KVF_PARTITION KVF_IO KVF_DATABASE KVF_BUFQ KVF_LGR KVF_SYSDBPROC KVF_SMX
KVF_CLONE KVF_SQLACCESS KVF_DRDA KVF_PROXYWRITE KVF_SSL KVF_SPL KVF_SCHAPI
KVF_MAX_MEMORY_POOL KVF_LOGSNOOP KVF_TABCAP KVF_CDCXFORM KVF_CDCUTIL KVF_CACHE KVF_RW_LOCK
KVF_DB_SCHED KVF_RMAP KVF_XPLOAD KVF_XPL_AIO KVF_QA KVF_SNAPSHOT KVF_GRID KVF_READAHEAD
KVF_MAP_CACHE KVF_UPDSTATS KVF_BTCS KVF_ITEM KVF_LOCAL_USER KVF_ISENTER KVF_CLIENT
KVF_TIMESERIES KVF_SQL_CACHE KVF_TRUSTHOST_CACHE KVF_LC KVF_DD_HIERARCHY KVF_ZRGUARD
KVF_CLIX KVF_EAR" ;;
    f) echo "KVF_TEST_F KVF_MEM KVF_CALL KVF_MSG KVF_TRANS KVF_PRED KVF_CNTRL KVF_ERR KVF_EVENT
KVF_SYSCALLS KVF_RESULT KVF_F_GFI KVF_PLAN KVF_TEMP_FEATURE KVF_INFO KVF_ARGS KVF_DEBUG
KVF_LLBUFF KVF_PASS KVF_TRANX KVF_DB KVF_MEMP KVF_CDR_CALL KVF_CDR_CLOSE KVF_CDR_UPDATE
KVF_CDR_ERROR KVF_CDR_INIT KVF_CDR_INTERNAL KVF_CDR_TRACK KVF_CDR_UT KVF_CDR_SES KVF_USEC
KVF_RSAMCALL KVF_NSFCALLS KVF_SMX_MSG KVF_REQUIRE KVF_DELAYED_APPLY KVF_TXN_SURVIVAL KVF_PAM
KVF_AQT KVF_CDR_TS" ;;
  esac
}

# File names completed as bash completes its own: one word per name, spaces
# and all, and readline's file-name handling (a directory gets its slash,
# special characters are quoted). Arguments, if any, are compgen's actions
# in place of -f (-d for directories only; -f -X to filter). Reads the
# caller's $cur.
_kavrex_files() {
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen "${@:--f}" -- "$cur"))
}

_kavrex() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local first=${COMP_WORDS[1]}
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "on off empty lite med heavy view fview rview frview info session size -t -V -version" -- "$cur"))
    return
  fi
  case $first in
    off|OFF|lite|LITE|med|MED|heavy|HEAVY)
      local i mode=""
      for ((i = COMP_CWORD - 1; i >= 2; i--)); do
        case ${COMP_WORDS[i]} in -c) mode=c; break ;; -f) mode=f; break ;; esac
      done
      if [ -n "$mode" ]; then
        COMPREPLY=($(compgen -W "-c -f $(_kavrex_names $mode)" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "-c -f" -- "$cur"))
      fi
      ;;
    -t)
      if [ "$COMP_CWORD" -eq 2 ]; then
        COMPREPLY=($(compgen -W "view fview rview frview" -- "$cur"))
      elif [ "$COMP_CWORD" -eq 3 ]; then
        _kavrex_files
      fi
      ;;
    view|VIEW|fview|FVIEW|rview|RVIEW|frview|FRVIEW|info|INFO)
      [ "$COMP_CWORD" -eq 2 ] && _kavrex_files
      ;;
  esac
}
complete -F _kavrex kavrex

# Server names of the installation: those with registry keys and those
# running (an information file).
_kavrex_servers() {
  local dir=${VELMORANDIR:-/usr/velmoran}/etc f
  for f in "$dir"/registry/HKLM/SOFTWARE/Velmoran/Corvane/* "$dir"/.infos.*; do
    [ -e "$f" ] || continue
    f=${f##*/}
    echo "${f#.infos.}"
  done | sort -u
}

_kavrex_sim() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    --server) COMPREPLY=($(compgen -W "$(_kavrex_servers)" -- "$cur")); return ;;
    --dir) _kavrex_files -d; return ;;
    --dump) _kavrex_files; return ;;
    --base|--key|--segments|--pieces|--records|--max-records|--threads|--rate|--count|--sessions|--level|--attach-value)
      return ;;
  esac
  COMPREPLY=($(compgen -W "--server --dir --base --key --segments --pieces --continuation
--records --max-records --threads --rate --flat-out --count --sessions --on --level
--alloc-failed --attach-value --dump --help --version" -- "$cur"))
}

_kavrex_reg() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  if [ "$COMP_CWORD" -eq 1 ]; then
    COMPREPLY=($(compgen -W "query add delete setup --help --version" -- "$cur"))
    return
  fi
  case ${COMP_WORDS[1]} in
    setup)
      if [ "$COMP_CWORD" -eq 2 ]; then
        COMPREPLY=($(compgen -W "$(_kavrex_servers)" -- "$cur"))
      elif [ "$COMP_CWORD" -eq 3 ]; then
        COMPREPLY=($(compgen -W "--dbsa-group" -- "$cur"))
      elif [ "$COMP_CWORD" -eq 4 ]; then
        COMPREPLY=($(compgen -g -- "$cur"))
      fi
      ;;
    add)
      [ "$COMP_CWORD" -eq 4 ] && COMPREPLY=($(compgen -W "sz dword" -- "$cur"))
      ;;
  esac
}

_kavrex_msgc() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    -o) _kavrex_files; return ;;
    -l) _kavrex_files -f -X '!*.vem'; return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-w -o -l --help --version" -- "$cur"))
  else
    _kavrex_files -f -X '!*.msg'
  fi
}

_kavrex_snap() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  # bash splits --check=FILE at the '='.
  [ "$prev" = "=" ] && [ "$COMP_CWORD" -ge 2 ] && prev=${COMP_WORDS[COMP_CWORD-2]}
  [ "$cur" = "=" ] && cur=
  if [ "$prev" = -o ] || [ "$prev" = --check ]; then
    _kavrex_files
  elif [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-o --check --help --version" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$(_kavrex_servers)" -- "$cur"))
  fi
}

_kavrex_export() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  # bash splits --component=LIST at the '='.
  [ "$prev" = "=" ] && [ "$COMP_CWORD" -ge 2 ] && prev=${COMP_WORDS[COMP_CWORD-2]}
  [ "$cur" = "=" ] && cur=
  case $prev in
    -c|--component|-f|--feature)
      # A LIST: complete its last item, keeping the items before it.
      local mode=c done=${cur%,*} item=${cur##*,}
      case $prev in -f|--feature) mode=f ;; esac
      [ "$done" = "$cur" ] && done= || done=$done,
      COMPREPLY=($(compgen -P "$done" -W "$(_kavrex_names $mode)" -- "$item"))
      return ;;
    -s|--session|-p|--pid|--since|--until|-g|--grep|-n|--limit)
      return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-c --component -f --feature -s --session -p --pid --since --until
-g --grep -n --limit -t --follow --new --stats --sqlite --allow-truncated --names --help --version" -- "$cur"))
  else
    _kavrex_files
  fi
}

complete -F _kavrex_sim kavrex-sim
complete -F _kavrex_reg kavrex-reg
complete -F _kavrex_msgc kavrex-msgc
complete -F _kavrex_snap kavrex-snap
complete -F _kavrex_export kavrex-export
