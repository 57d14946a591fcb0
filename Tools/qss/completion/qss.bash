# bash completion for qss: commands, their options, and the entry paths
# inside a container (read with 'qss ls', so only what qss itself can open).

_qss_entries() {
  # $1: the container, $2: the path typed so far. Prints candidate paths,
  # storages with a trailing '/'.
  local container=$1 typed=$2 dir prefix
  [[ -f $container ]] || return
  if [[ $typed == */* ]]; then
    dir=${typed%/*}
    prefix=$dir/
  else
    dir=
    prefix=
  fi
  qss ls -q -- "$container" "$dir" 2>/dev/null |
    sed -nE 's/^([0-3]) 0x[0-9a-f]{8} +[0-9]+ +[-0-9]+ (.*)$/\1 \2/p' |
    while IFS= read -r line; do
      local kind=${line%% *} name=${line#* }
      if [[ $kind == 1 || $kind == 3 ]]; then
        printf '%s\n' "$prefix$name/"
      else
        printf '%s\n' "$prefix$name"
      fi
    done
}

_qss() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD-1]}
  local commands="ls tree cat unpack pack info check mount umount version help"
  local common="-q --quiet --progress= --help"
  COMPREPLY=()

  if (( COMP_CWORD == 1 )); then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
    return
  fi
  local command=${COMP_WORDS[1]}
  local options=
  case $command in
    ls | tree | info) options="--json" ;;
    check) options="--json" ;;
    cat) options= ;;
    mount) options="--foreground --allow-other" ;;
    umount) options= ;;
    unpack) options="--include --exclude --overwrite --keep" ;;
    pack) options="--block-size --entry-width --compress --nest --segment-size --dereference --skip-special --exclude --threads" ;;
    help)
      COMPREPLY=($(compgen -W "$commands" -- "$cur"))
      return
      ;;
    *) return ;;
  esac

  case $prev in
    --progress)
      COMPREPLY=($(compgen -W "auto always never" -- "$cur"))
      return
      ;;
    --entry-width)
      COMPREPLY=($(compgen -W "2 4 8" -- "$cur"))
      return
      ;;
    --block-size | --segment-size | --include | --exclude)
      return
      ;;
    --nest)
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      return
      ;;
  esac
  if [[ $cur == --progress=* ]]; then
    COMPREPLY=($(compgen -W "auto always never" -- "${cur#--progress=}"))
    return
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options $common" -- "$cur"))
    [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
    return
  fi

  # The operands typed so far, options and their values left out.
  local operands=() i word
  for ((i = 2; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    case $word in
      --block-size | --entry-width | --nest | --segment-size | --include | --exclude | --progress) ((i++)) ;;
      -*) ;;
      *) operands+=("$word") ;;
    esac
  done

  # Which operand is an entry PATH: ls CONTAINER [PATH], cat CONTAINER PATH,
  # unpack CONTAINER DIR [PATH].
  local pathOperand=-1
  case $command in
    ls | cat) pathOperand=1 ;;
    unpack) pathOperand=2 ;;
  esac
  if (( ${#operands[@]} == pathOperand )); then
    local IFS=$'\n'
    COMPREPLY=($(compgen -W "$(_qss_entries "${operands[0]}" "$cur")" -- "$cur"))
    [[ ${COMPREPLY[0]} == */ ]] && compopt -o nospace 2>/dev/null
    return
  fi
  compopt -o filenames 2>/dev/null
  if [[ $command == pack && ${#operands[@]} == 0 ]] || [[ $command == unpack && ${#operands[@]} == 1 ]] ||
    [[ $command == mount && ${#operands[@]} == 1 ]] || [[ $command == umount ]]; then
    COMPREPLY=($(compgen -d -- "$cur"))
  else
    COMPREPLY=($(compgen -f -- "$cur"))
  fi
}

complete -F _qss qss
