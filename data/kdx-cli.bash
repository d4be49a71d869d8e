# bash completion for kdx-cli. Commands and options come from the program's own --help
# texts and the port names from "kdx-cli ports --names", so completion always matches the
# installed program and the ports present now.
_kdx_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]} cli=${COMP_WORDS[0]}
    local i command="" positional=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        local word=${COMP_WORDS[i]}
        [[ $word == -* ]] && continue
        if [[ -z $command ]]; then command=$word; else ((positional++)); fi
    done
    COMPREPLY=()
    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--trace --help --version" -- "$cur"))
        else
            local commands
            commands=$("$cli" --help 2>/dev/null | sed -n '/^Commands:/,$s/^  \([a-z][a-z-]*\) .*/\1/p')
            COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        fi
        return 0
    fi
    local help
    help=$("$cli" "$command" --help 2>/dev/null)
    if [[ $cur == -* ]]; then
        local options
        options=$(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    elif ((positional == 0)) && grep -q '^Usage:.*COM<n>' <<<"$help"; then
        COMPREPLY=($(compgen -W "$("$cli" ports --names 2>/dev/null)" -- "$cur"))
    fi
    # Anything else (files to send or convert) falls back to file names.
    return 0
}
complete -o default -F _kdx_cli kdx-cli
