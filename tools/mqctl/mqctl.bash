# Bash completion for mqctl: commands, each command's options, and channel
# names where a command takes one. Commands and options are read from
# mqctl's own help, channel names from "mqctl channel list" (the channel file
# of the installation in use, --config included), so they never drift from
# the tool installed.

_mqctl_channels() {
    "$1" "${@:2}" channel list 2>/dev/null | awk 'NR > 1 { print $1 }'
}

_mqctl() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
        cur=${words[cword]}
        prev=${words[cword-1]}
    fi
    local mqctl=${words[0]} cmd="" sub="" positional=0 i
    local -a config=()
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
        --config) config=(--config "${words[i+1]}"); ((i++)) ;;
        --config=*) config=("${words[i]}") ;;
        --flag | --from | --to | --older-than | --younger-than | --sort | --limit | --by | \
            --warn-age | --crit-age | --warn-count | --crit-count) ((i++)) ;;
        -*) ;;
        *)
            if [[ -z $cmd ]]; then
                cmd=${words[i]}
            elif [[ $cmd == channel && -z $sub ]]; then
                sub=${words[i]}
            else
                ((positional++))
            fi
            ;;
        esac
    done

    case $prev in
    --config)
        if declare -F _filedir >/dev/null; then _filedir; else COMPREPLY=($(compgen -f -- "$cur")); fi
        return ;;
    --by) COMPREPLY=($(compgen -W "channel domain" -- "$cur")); return ;;
    --sort) COMPREPLY=($(compgen -W "id age size" -- "$cur")); return ;;
    --flag) COMPREPLY=($(compgen -W "C c" -- "$cur")); return ;;
    --from | --to | --older-than | --younger-than | --limit | --warn-age | --crit-age | --warn-count | --crit-count)
        return ;;
    esac

    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--config --json --help --version" -- "$cur"))
        else
            local commands
            commands=$("$mqctl" help 2>/dev/null | awk '/^Commands:/ { on = 1; next } /^$/ { on = 0 } on { print $1 }' | sort -u)
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return
    fi
    if [[ $cmd == channel && -z $sub ]]; then
        COMPREPLY=($(compgen -W "add del list" -- "$cur"))
        return
    fi
    local name=$cmd
    [[ $cmd == channel ]] && name="channel $sub"
    [[ $cmd == help ]] && return
    if [[ $cur == -* ]]; then
        local options
        options=$("$mqctl" help $name 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u)
        COMPREPLY=($(compgen -W "$options --config --help" -- "$cur"))
        return
    fi
    # The commands whose first word (or, after ALL, second) is a channel.
    case "$name:$positional" in
    put:0 | get:0 | deliver:0 | list:0 | monitor:0 | "channel del:0" | delete:1)
        if [[ $name != delete || ${words[cword-1]} == ALL ]]; then
            COMPREPLY=($(compgen -W "$(_mqctl_channels "$mqctl" "${config[@]}")" -- "$cur"))
        fi
        ;;
    delete:0) COMPREPLY=($(compgen -W "ALL -" -- "$cur")) ;;
    esac
}
complete -F _mqctl mqctl
