# fish completion for quilletctl

set -l commands status start stop settings list search recover restore empty log

complete -c quilletctl -f
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -l help -d 'Show the usage'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a status -d 'Whether protection runs, the daemons, cache and trash sizes'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a start -d 'Start protection'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a stop -d 'Stop protection'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a settings -d 'Show or set the settings'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a list -d 'List the cached items'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a search -d 'Cached items whose names contain TEXT'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a recover -d 'Copy cached items into a folder'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a restore -d 'Copy cached items back to where they were trashed from'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a empty -d 'Delete cached items for good'
complete -c quilletctl -n "not __fish_seen_subcommand_from $commands" -a log -d 'The last messages of the daemons'

complete -c quilletctl -n "__fish_seen_subcommand_from $commands" -l help -d 'Show the usage of the command'
complete -c quilletctl -n "__fish_seen_subcommand_from status list search" -l json -d 'Print JSON'
complete -c quilletctl -n "__fish_seen_subcommand_from list search recover restore empty" -l password-stdin -d 'Read the password from standard input'
complete -c quilletctl -n "__fish_seen_subcommand_from list" -l flat -d 'One row per item'
complete -c quilletctl -n "__fish_seen_subcommand_from list" -l hours -x -d 'Keep the days of the last N hours'
complete -c quilletctl -n "__fish_seen_subcommand_from list" -l sort -x -a 'name date size' -d 'Sort order'
complete -c quilletctl -n "__fish_seen_subcommand_from list" -l reverse -d 'Reverse the order'
complete -c quilletctl -n "__fish_seen_subcommand_from recover restore" -l to -x -a '(__fish_complete_directories)' -d 'Destination folder'
complete -c quilletctl -n "__fish_seen_subcommand_from recover restore empty" -F
complete -c quilletctl -n "__fish_seen_subcommand_from empty" -l all -d 'Everything in every cache folder'
complete -c quilletctl -n "__fish_seen_subcommand_from empty" -l yes -d 'Do not ask for confirmation'
complete -c quilletctl -n "__fish_seen_subcommand_from log" -l lines -x -d 'How many lines'
complete -c quilletctl -n "__fish_seen_subcommand_from settings; and test (count (commandline -opc)) -eq 2" -x -a "'Survey home Trash only' 'Keep data for days' 'How many days to keep data' 'Keep data for size max' 'Size max for cache' 'Percentage of free disk space' 'Mode of cache file handling' App_Prefs_checkUpdates 'Display menu extra'"
complete -c quilletctl -n "__fish_seen_subcommand_from settings; and test (count (commandline -opc)) -eq 3" -x -a '0 1'
