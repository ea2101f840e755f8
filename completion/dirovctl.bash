# bash completion for dirovctl. The subcommands, options and board command
# names come from the tool's own --help and `call --list`, so they follow
# the installed version.

_dirovctl_help() {
    # Usage: _dirovctl_help TOOL [SUBCOMMAND...]
    "$@" --help 2>/dev/null
}

_dirovctl() {
    local cur prev words cword
    _init_completion || return

    local tool=${words[0]} i w
    local -a path=()
    local skip=0
    # The subcommand path typed so far: words that are not options or values.
    for ((i = 1; i < cword; i++)); do
        w=${words[i]}
        if ((skip)); then skip=0; continue; fi
        case $w in
            --sim | --sim-boards)
                [[ ${words[i + 1]} =~ ^[0-9]+$ ]] && skip=1 ;;
            --serial | --pattern | --rate | -o | --out | --bytes | --seconds | --wav | --vid | --pid | --release)
                skip=1 ;;
            -*) ;;
            *)
                local sub
                sub=$(_dirovctl_help "$tool" "${path[@]}" |
                    awk '/^Subcommands:/ {s=1; next} s && /^  [a-z]/ {print $1} s && !/^ / {s=0}')
                if [[ " ${sub//$'\n'/ } " == *" $w "* ]]; then
                    path+=("$w")
                elif [[ ${path[*]} == call ]]; then
                    return  # a board command's arguments: numbers
                fi
                ;;
        esac
    done

    case $prev in
        --pattern)
            COMPREPLY=($(compgen -W 'counter i2s off' -- "$cur"))
            return ;;
        -o | --out | --wav)
            _filedir
            return ;;
        --serial | --rate | --bytes | --seconds | --vid | --pid | --release | --sim | --sim-boards)
            [[ $prev == --sim* && ! $cur =~ ^[0-9]*$ ]] || return ;;
    esac

    local help
    help=$(_dirovctl_help "$tool" "${path[@]}")
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(sed -n 's/^ *\(-[^ ]*\).*/\1/p' <<<"$help" | tr ',' ' ')" -- "$cur"))
        return
    fi
    case ${path[*]} in
        call)
            COMPREPLY=($(compgen -W "$("$tool" call --list 2>/dev/null | awk '{print $1}')" -- "$cur"))
            return ;;
        "dfu suffix")
            if [[ $prev == @(add|check|remove) ]]; then
                _filedir
            else
                COMPREPLY=($(compgen -W 'add check remove' -- "$cur"))
            fi
            return ;;
        "dfu create" | "dfu info" | upgrade)
            _filedir
            return ;;
    esac
    COMPREPLY=($(compgen -W "$(awk '/^Subcommands:/ {s=1; next} s && /^  [a-z]/ {print $1} s && !/^ / {s=0}' <<<"$help")" -- "$cur"))
} &&
    complete -F _dirovctl dirovctl
