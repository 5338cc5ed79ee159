# Bash completion for quillstone-dat: the commands, each command's options,
# the values of --compress, folders where a command writes or reads one
# (extract, pack, diff --patch, apply), and files elsewhere. Installed as share/bash-completion/completions/quillstone-dat.

_quillstone_dat() {
  local cur prev
  cur="${COMP_WORDS[COMP_CWORD]}"
  prev=""
  ((COMP_CWORD > 0)) && prev="${COMP_WORDS[COMP_CWORD - 1]}"

  local commands="info ls cat extract verify pack sample add rm compact diff apply mount umount"
  local global_options="--debug --help --version -V"

  # The command is the first word after the global options; `position`
  # counts the arguments after it, leaving out options and their values.
  local command="" position=0 i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case "${COMP_WORDS[i]}" in
      --ids-from | --manifest | --jobs | -j | --block-size | --compress | \
        --level | --files | --seed | --patch | -o | --log) ((i++)) ;;
      -*) ;;
      *)
        if [[ -z "$command" ]]; then
          command="${COMP_WORDS[i]}"
        else
          ((position++))
        fi
        ;;
    esac
  done

  if [[ -z "$command" ]]; then
    if [[ "$cur" == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$global_options" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    fi
    return 0
  fi

  local options
  case "$command" in
    info) options="--json --help" ;;
    ls) options="--ids-from --json -l --long --help" ;;
    cat) options="--raw --help" ;;
    extract)
      options="--ids-from --jobs -j --raw --quiet -q --force -f --skip-existing --sync --help"
      ;;
    verify) options="--ids-from --json --help" ;;
    pack) options="--manifest --block-size --compress --level --force -f --help" ;;
    sample) options="--files --seed --force -f --help" ;;
    add) options="--compress --level --replace --reuse-free-blocks --help" ;;
    rm) options="--ids-from --help" ;;
    compact) options="--help" ;;
    diff)
      options="--ids-from --json --summary --contents-only --patch --force -f --help"
      ;;
    apply) options="--force -f --reuse-free-blocks --help" ;;
    mount) options="--raw --foreground -f -o --log --help" ;;
    umount) options="--lazy -z --help" ;;
    *) return 0 ;;
  esac

  case "$prev" in
    --compress)
      mapfile -t COMPREPLY < <(compgen -W "none all auto" -- "$cur")
      return 0
      ;;
    --level)
      mapfile -t COMPREPLY < <(compgen -W "fast default best" -- "$cur")
      return 0
      ;;
    -o)
      mapfile -t COMPREPLY < <(compgen -W "allow_other allow_root default_permissions" -- "$cur")
      return 0
      ;;
    --ids-from | --manifest | --log)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0
      ;;
    --patch)
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return 0
      ;;
    --jobs | -j | --block-size | --files | --seed)
      return 0
      ;;
  esac

  if [[ "$cur" == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return 0
  fi

  # Folders: extract's OUTDIR, pack's INDIR, apply's DIR, mount's and
  # umount's MOUNTPOINT; files for the rest.
  if [[ ("$command" == extract && $position -eq 1) ||
        ("$command" == pack && $position -eq 0) ||
        ("$command" == mount && $position -eq 1) ||
        ("$command" == umount && $position -eq 0) ||
        ("$command" == apply && $position -eq 1) ]]; then
    mapfile -t COMPREPLY < <(compgen -d -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}

complete -o filenames -o bashdefault -F _quillstone_dat quillstone-dat
