# bash completion for qsync: commands, kinds, options and paths. Works with
# or without the bash-completion package loaded.

_qsync() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null 2>&1; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local global_opts="--phone --device --json -q --quiet -v --verbose -h --help --version
                       --retries --retry-delay --request-retries --journal --no-journal"
    local commands="push remove fetch playlist backup restore ls stat rm mv get put du ui"

    # Options whose value is a folder, a word or an address.
    case $prev in
        --to|--from)
            _qsync_paths -d
            return ;;
        --on-conflict)
            COMPREPLY=($(compgen -W "keep replace both" -- "$cur"))
            return ;;
        --journal)
            _qsync_paths
            return ;;
        --phone|--device|--retries|--retry-delay|--request-retries|--max-delete)
            COMPREPLY=()
            return ;;
    esac

    # The command and its first argument, skipping options and their values.
    local i command= kind= operands=0 word
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        case $word in
            --phone|--device|--to|--from|--on-conflict|--retries|--retry-delay|--request-retries|--journal|--max-delete)
                ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then command=$word
                elif [[ -z $kind ]]; then kind=$word
                else ((operands++))
                fi ;;
        esac
    done

    if [[ $cur == -* ]]; then
        local opts=$global_opts
        case $command in
            push) opts+=" --dry-run --check --delete --max-delete --itemize-unchanged --any-file" ;;
            remove) opts+=" --dry-run" ;;
            fetch|backup) opts+=" --to" ;;
            restore) opts+=" --from --on-conflict" ;;
            ls) opts+=" -l -R -a -H --human-readable" ;;
            rm) opts+=" -r --force" ;;
            get|put) opts+=" -r --replace" ;;
            du) opts+=" -s -H --human-readable" ;;
            ui) opts+=" --listen --no-open" ;;
            playlist) opts+=" --force --clear --allow-empty" ;;
        esac
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
        return
    fi
    if [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
        return
    fi
    # PC paths for put and get (get's DIR too); phone paths: nothing on this
    # PC to offer.
    if [[ $command == get || $command == put ]]; then
        _qsync_paths
        return
    fi
    if [[ $command == ls || $command == stat || $command == rm || $command == mv || $command == du ]]; then
        COMPREPLY=()
        return
    fi
    if [[ -z $kind ]]; then
        local kinds=
        case $command in
            push|remove) kinds="music photos videos documents playlists" ;;
            fetch) kinds="camera downloads" ;;
            backup|restore) kinds="music media documents" ;;
            playlist) kinds="create update delete" ;;
        esac
        COMPREPLY=($(compgen -W "$kinds" -- "$cur"))
        return
    fi
    case $command in
        push|remove|playlist) _qsync_paths ;;
        *) COMPREPLY=() ;;
    esac
}

# Files and folders (-d: folders only), names with blanks kept whole.
_qsync_paths() {
    if declare -F _filedir >/dev/null 2>&1; then
        _filedir "$@"
        return
    fi
    local IFS=$'\n'
    if [[ $1 == -d ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
    compopt -o filenames 2>/dev/null
}

complete -F _qsync qsync qsync.exe
