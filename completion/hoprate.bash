# bash completion for hoprate and hoprate-report (installed as
# share/bash-completion/completions/hoprate and .../hoprate-report).
# The option lists are checked against the programs' --help texts by the test
# tests/completion/check_completion.sh: an option added to either program goes here too.

# hoprate: the classic options, --precise, --help and --version; once --precise is on the
# line, the accurate mode's options instead. The destination is a host name.
_hoprate()
{
    local cur prev words cword split
    _init_completion -s || return

    local classic="-v -d -i -o -s -t --precise --help --version"
    local accurate="-4 -6 -n --numeric --proto --port --source --interface --first-hop --directions --targets --quick
        --json --save
        --max-hops --budget --target --rate --sizes --spacing --ttl-limited --no-kernel-stamps
        --seed --help --version"

    local precise="" i
    for ((i = 1; i < cword; i++)); do
        [[ ${words[i]} == --precise ]] && precise=1
    done

    if [[ -n $precise ]]; then
        case $prev in
            --save | --targets)
                _filedir
                return
                ;;
            --proto)
                COMPREPLY=($(compgen -W "auto icmp udp tcp" -- "$cur"))
                return
                ;;
            --directions)
                COMPREPLY=($(compgen -W "auto insist off" -- "$cur"))
                return
                ;;
            --interface)
                _available_interfaces
                return
                ;;
            --source)
                _ip_addresses
                return
                ;;
            --port | --first-hop | --max-hops | --budget | --target | --rate | --sizes | --spacing | --seed)
                return  # a number
                ;;
        esac
        $split && return
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$accurate" -- "$cur"))
            return
        fi
    else
        case $prev in
            -i | -o | -s | -t)
                return  # a number, or a list of sizes
                ;;
        esac
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "$classic" -- "$cur"))
            return
        fi
    fi
    _known_hosts_real -- "$cur"
}
complete -F _hoprate hoprate

# hoprate-report: its options, files for --svg and --analyse, and the results file.
_hoprate_report()
{
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        --svg | --analyse)
            _filedir
            return
            ;;
        -s)
            return  # the run's list of sizes
            ;;
    esac
    $split && return
    if [[ $cur == -* ]]; then
        local options="--json --csv --svg -s --analyse --help --version"
        # A probe log analysed again gives the run's table or, with --json, its document.
        [[ " ${words[*]} " == *" --analyse"[\ =]* ]] && options="--json --help --version"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    _filedir
}
complete -F _hoprate_report hoprate-report
