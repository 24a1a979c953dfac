# bash completion for quilletctl                                      -*- shell-script -*-
# Self-contained: it needs none of bash-completion's helpers, so it also works when sourced alone.

_quilletctl_settings_keys=(
    "Survey home Trash only"
    "Keep data for days"
    "How many days to keep data"
    "Keep data for size max"
    "Size max for cache"
    "Percentage of free disk space"
    "Mode of cache file handling"
    "App_Prefs_checkUpdates"
    "Display menu extra"
)

# Offers the settings keys matching the word being completed. The keys hold spaces: typed
# without a quote they are offered escaped (Keep\ data\ for\ days), after an opening quote as
# they stand, and readline closes the quote.
_quilletctl_complete_key() {
    local cur=$1 quote= key
    case $cur in
        \"*) quote=\"; cur=${cur#\"} ;;
        \'*) quote=\'; cur=${cur#\'} ;;
        *) cur=${cur//\\ / } ;;
    esac
    for key in "${_quilletctl_settings_keys[@]}"; do
        [[ $key == "$cur"* ]] || continue
        if [[ -n $quote ]]; then
            COMPREPLY+=("$key")
        else
            COMPREPLY+=("$(printf '%q' "$key")")
        fi
    done
}

_quilletctl() {
    local cur prev command= i arguments=0
    COMPREPLY=()
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}

    # The command is the first word after the program that is not an option; settings counts
    # its arguments so that KEY and VALUE are told apart.
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ -z $command ]]; then
            [[ ${COMP_WORDS[i]} == -* ]] || command=${COMP_WORDS[i]}
        elif [[ ${COMP_WORDS[i]} != -* ]]; then
            ((arguments++))
        fi
    done

    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "status start stop settings list search recover restore empty log --help" -- "$cur"))
        return 0
    fi

    case $prev in
        --sort)
            COMPREPLY=($(compgen -W "name date size" -- "$cur"))
            return 0 ;;
        --to)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -d -- "$cur"))
            return 0 ;;
        --hours | --lines)
            return 0 ;;
    esac

    local options
    case $command in
        status) options="--json --help" ;;
        start | stop) options="--help" ;;
        settings) options="--help" ;;
        list) options="--flat --hours --sort --reverse --json --password-stdin --help" ;;
        search) options="--json --password-stdin --help" ;;
        recover | restore) options="--to --password-stdin --help" ;;
        empty) options="--all --yes --password-stdin --help" ;;
        log) options="--lines --help" ;;
        *) return 0 ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return 0
    fi

    case $command in
        settings)
            if ((arguments == 0)); then
                _quilletctl_complete_key "$cur"
            elif ((arguments == 1)); then
                COMPREPLY=($(compgen -W "0 1" -- "$cur"))
            fi ;;
        recover | restore | empty)
            # An ITEM is a path in a cache folder, as list and search print it.
            compopt -o filenames 2>/dev/null
            local IFS=$'\n'
            COMPREPLY=($(compgen -f -- "$cur")) ;;
    esac
    return 0
}

complete -F _quilletctl quilletctl
