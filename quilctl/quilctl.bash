# SPDX-License-Identifier: GPL-2.0-or-later
# Bash completion of quilctl. The command words come from quilctl itself
# (quilctl list --names), so this file never lists them.

_quilctl() {
    local cur prev words cword
    _init_completion 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local global='--json --serviceid --timeout --help'

    case $prev in
        --serviceid|--timeout|--ap|--modem|--dev|--oem|--op)
            return;;
        --path)
            compopt -o nospace 2>/dev/null
            COMPREPLY=($(compgen -d -S / -- "$cur"))
            return;;
    esac

    # The command word: the first word that is not an option or an option's value.
    local i command= kind=
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --serviceid|--timeout) ((i++));;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=${words[i]}
                elif [[ -z $kind ]]; then
                    kind=${words[i]}
                fi;;
        esac
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$global" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(quilctl list --names 2>/dev/null)" -- "$cur"))
        fi
        return
    fi
    case $command in
        help)
            [[ -z $kind ]] &&
                COMPREPLY=($(compgen -W "$(quilctl list --names 2>/dev/null)" -- "$cur"));;
        list)
            COMPREPLY=($(compgen -W "--names $global" -- "$cur"));;
        flash)
            if [[ -z $kind ]]; then
                COMPREPLY=($(compgen -W "fastboot edl" -- "$cur"))
            elif [[ $kind == fastboot ]]; then
                COMPREPLY=($(compgen -W "--path --ap --modem --dev --oem --op $global" -- "$cur"))
            else
                COMPREPLY=($(compgen -W "--ap --modem $global" -- "$cur"))
            fi;;
        *)
            [[ $cur == -* ]] && COMPREPLY=($(compgen -W "$global" -- "$cur"));;
    esac
}
complete -F _quilctl quilctl
