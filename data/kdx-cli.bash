# bash completion for kdx-cli. Commands and options come from the program's own --help
# texts and the port names from "kdx-cli ports --names", so completion always matches the
# installed program and the ports present now.
_kdx_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} cli=${COMP_WORDS[0]}
    local i command="" help="" positional=0 valued=""
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        local word=${COMP_WORDS[i]}
        if [[ -z $command ]]; then
            [[ $word == -* ]] || command=$word
            if [[ -n $command ]]; then
                help=$("$cli" "$command" --help 2>/dev/null)
                # The options that take a value: "  --baud B   ..." in the help text.
                valued=" $(sed -n 's/^ *\(--[a-z][a-z-]*\) [A-Z].*/\1/p' <<<"$help" | tr '\n' ' ') "
            fi
            continue
        fi
        if [[ $word == -* ]]; then
            # The option's value is no positional word.
            [[ $word != *=* && $valued == *" $word "* ]] && ((i++))
            continue
        fi
        ((positional++))
    done
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
    # The value of an option.
    if [[ $prev == -* && $valued == *" $prev "* ]]; then
        case $prev in
            --eol) COMPREPLY=($(compgen -W "cr lf crlf none" -- "$cur")) ;;
            --backspace) COMPREPLY=($(compgen -W "bs del" -- "$cur")) ;;
            --baud | --rate) COMPREPLY=($(compgen -W "9600 19200 38400 57600 115200" -- "$cur")) ;;
            --axes) COMPREPLY=($(compgen -W "1 2 3 4 1-4" -- "$cur")) ;;
        esac
        # Paths and free values (--log-file, --out, --wait) fall back to file names.
        return 0
    fi
    if [[ $cur == -* ]]; then
        local options
        options=$(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
        COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
    elif [[ $command == program ]] && ((positional == 0)); then
        COMPREPLY=($(compgen -W "encode decode" -- "$cur"))
    elif ((positional == 0)) && grep -q '^Usage:.*COM<n>' <<<"$help"; then
        COMPREPLY=($(compgen -W "$("$cli" ports --names 2>/dev/null)" -- "$cur"))
    elif ((positional == 1)) && grep -q '^Usage:.*COM<n> AXIS' <<<"$help"; then
        COMPREPLY=($(compgen -W "1 2 3 4" -- "$cur"))
    fi
    # Anything else (files to send or convert) falls back to file names.
    return 0
}
complete -o default -F _kdx_cli kdx-cli
