# fish completion for quorvane-cli: its commands, each command's options (as
# its --help lists them), the ports `quorvane-cli ports` lists, and files.

function __quorvane_cli_ports
    echo auto
    quorvane-cli ports 2>/dev/null | awk '$1 ~ /^\// {print $1} $1 == "also" {print $2}'
end

set -l commands write check frames convert station recipe log ports help
# Only the commands that take a FILE complete file names.
complete -c quorvane-cli -f
complete -c quorvane-cli -n "__fish_seen_subcommand_from write check frames convert station recipe log" -F

set -l none "not __fish_seen_subcommand_from $commands"
complete -c quorvane-cli -n $none -a write -d 'write the firmware in FILE to the device on PORT'
complete -c quorvane-cli -n $none -a check -d 'a strict look at FILE before anything is sent'
complete -c quorvane-cli -n $none -a frames -d 'the bytes a write job would send for FILE'
complete -c quorvane-cli -n $none -a convert -d 'FILE (Intel HEX, raw binary) as an S-record file'
complete -c quorvane-cli -n $none -a station -d 'write every device that is plugged in, and log it'
complete -c quorvane-cli -n $none -a recipe -d 'what a production recipe will do, without a port'
complete -c quorvane-cli -n $none -a log -d 'a station log\'s chain, and what it records'
complete -c quorvane-cli -n $none -a ports -d 'the ports this machine has'
complete -c quorvane-cli -n $none -a log -d "replay: publish a station's log to an MQTT broker"
complete -c quorvane-cli -n "__fish_seen_subcommand_from log; and not __fish_seen_subcommand_from replay" -a replay \
    -d "publish the log's records not yet acknowledged"
complete -c quorvane-cli -n $none -a help -d 'help for one command'
complete -c quorvane-cli -n $none -s V -l version -d 'show the version'
complete -c quorvane-cli -s h -l help -d 'show the help'
complete -c quorvane-cli -n "__fish_seen_subcommand_from help" -a "$commands all"

function __quorvane_cli_option -a commands
    complete -c quorvane-cli -n "__fish_seen_subcommand_from $commands" $argv[2..]
end
__quorvane_cli_option 'write station' -s p -l port -x -a '(__quorvane_cli_ports)' -d 'a port'
__quorvane_cli_option 'write check station' -s b -l baud -x -a '4800 9600 19200 38400' -d 'the serial line speed'
__quorvane_cli_option 'write station' -s m -l mode -x -a 'auto ack silent' -d 'when to wait for answers'
__quorvane_cli_option 'write station' -s t -l answer-timeout -x -d 'seconds to wait for an answer'
__quorvane_cli_option 'write station' -s l -l log -r -F -d 'append a JSON line per job'
__quorvane_cli_option 'write station' -s v -l verbose -d 'say how each port is driven'
__quorvane_cli_option 'write check ports' -s j -l json -d 'JSON output'
__quorvane_cli_option 'write check frames convert station' -l base -x -d 'FILE is a raw binary that loads at ADDRESS'
__quorvane_cli_option 'write check frames convert station' -l record-size -x -d 'data bytes per S3 record'
__quorvane_cli_option write -s f -l force -d 'send a file with problems'
__quorvane_cli_option write -s s -l save -d 'remember the port and baud rate'
__quorvane_cli_option write -s w -l wait -d 'wait for the port to appear (--wait=SECONDS)'
__quorvane_cli_option write -s q -l quiet -d 'print nothing but errors'
__quorvane_cli_option frames -s r -l raw -d 'the bytes the port would get'
__quorvane_cli_option convert -s o -l output -r -F -d 'the S-record file to write'
__quorvane_cli_option station -s n -l count -x -d 'end after N boards written'
__quorvane_cli_option 'write frames station' -l recipe -r -F -d 'the production recipe (no FILE)'
__quorvane_cli_option frames -l serial -x -d 'the serial number patched in'
__quorvane_cli_option recipe -a check -d 'what the recipe will do'
__quorvane_cli_option log -a 'verify summary replay' -d 'the chain, or what the log records'
__quorvane_cli_option station -l http -x -d 'serve the page and the API on [ADDRESS:]PORT'
__quorvane_cli_option station -l http-token -x -d 'what every POST must carry'
__quorvane_cli_option 'station log' -l mqtt -x -d 'publish each job to mqtt://HOST[:PORT]/PREFIX'
__quorvane_cli_option 'station log' -l mqtt-name -x -d "the station's name in topics and ids"
__quorvane_cli_option 'station log' -l mqtt-ca -r -F -d "TLS, with the broker's CA"
__quorvane_cli_option 'station log' -l mqtt-user -x -d "the broker's user name"
__quorvane_cli_option 'station log' -l mqtt-password-file -r -F -d 'the password, the first line of FILE'
functions -e __quorvane_cli_option
