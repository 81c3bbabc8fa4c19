#!/usr/bin/env bash
# Prints docs/RELIABILITY.md from the logs of a scripts/reliability.sh run:
#   scripts/reliability-report.sh OUT CYCLES LOAD_SECONDS FUZZ_SECONDS
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$1"; cycles="$2"; load_seconds="$3"; fuzz_seconds="$4"
tests="$out/tests.log"; fuzz="$out/fuzz.log"

# "passed", "FAILED" or "not run" for each test named (a gtest full name or prefix*).
result() {
  local name="$1" line
  line="$(grep -aE "^\[ +(OK|FAILED) +\] ${name//\*/[A-Za-z0-9_]*} \(" "$tests" | tail -1 || true)"
  case "$line" in
    *"OK ]"*) echo "passed" ;;
    *FAILED*) echo "FAILED" ;;
    *) echo "not run" ;;
  esac
}
figure() { grep -aE "^FIGURE $1 " "$tests" | tail -1 | awk '{print $3}'; }
row() { echo "| $1 | \`$2\` | $(result "$2") |"; }

commit="$(cat "$out/commit" 2>/dev/null || echo unknown)"
cat <<HEADER
# Reliability

Written by \`scripts/reliability.sh\` from its last run ($(date -u '+%Y-%m-%d %H:%M UTC'), commit
$commit): $cycles soak cycles, ${load_seconds} s of load, ${fuzz_seconds} s per fuzz target.
Do not edit by hand; run the script again. The test suite (\`scripts/test.sh\`) runs the same
tests with a few soak cycles and a few seconds of load and fuzzing.

## What is promised

1. **No silent data loss.** A block that cannot be read fails the backup, naming the block and
   the error; nothing is sent in its place, the journal key does not move on, and the next
   backup sends the block. Transient device errors (23, 121, 1117) are retried three times,
   for restore writes as for backup reads. Two backups of one volume never overlap.
2. **No hang.** Every wait for a peer, in either direction, ends at the configured time-out
   or at a stop request; a snapshot step that never completes does not hold the stop; a pipe
   where a key or allow file should be is never opened for a blocking read. A server that
   reports an error or hangs up at any point where the agent waits for it ends only that
   request: locks, volume claims and snapshots are released and the next request succeeds.
3. **No hostile peer wears the agent down.** Connections that have not authenticated get a
   bounded share of the log (one summary line per interval for the rest) and a bounded
   number of threads (the excess is refused); allow directories are parsed once, and no
   file name reaches a peer that has not authenticated; every parser of peer or disk bytes is
   fuzzed.
4. **Keys are kept.** A key file is replaced only when it is missing or was read whole and is
   not a key; every replaced copy is kept, time-stamped.

## How each promise is tested

| Promise | Test | Result |
|---|---|---|
HEADER
row 1 "BlockLoadTest.ThreeTransientFailuresFailTheBlockNamingItAndTheError"
row 1 "BackupTest.ReadErrorsFailTheBackupAndTheNextBackupSendsTheBlocks"
row 1 "RestorePartitionTest.TransientWriteErrorsAreRetriedAtTheSamePlace"
row 1 "StalledServerTest.SecondBackupOfAVolumeStillBeingSentIsBusyOtherVolumesAreNot"
row 1 "HostileFaultTest.SnapshotAndDeviceFaultsFailOnlyTheirRequest"
row 1 "LoadSoakTest.CyclesOfWritesAndIncrementalsLoseNothingAndRestoreWhole"
row 1 "TrackingSoakTest.IncrementalsBesideABusyWriterNeverMissAWriteNorGetRefused"
row 2 "SocketTest.PeerThatStopsReadingTimesTheSendOut"
row 2 "SocketTest.StopRequestEndsASendThatWaitsForRoom"
row 2 "StalledServerTest.ServerThatStopsReadingIsDroppedAfterTheTimeOutAndAStopEndsABackup"
row 2 "HostileFaultTest.SnapshotAndDeviceFaultsFailOnlyTheirRequest"
row 2 "HostileFaultTest.BrokenAllowFilesAndPipesHoldNothing"
row 2 "AllowDirectoriesTest.AddressSelectsTheFirstReadableFileNamedAfterIt"
row 2 "ServerErrorTest.Handshake"
row 2 "ServerErrorTest.ServerInfoItemsAndTheRequestAfterAnAllowList"
row 2 "ServerErrorTest.BackupDigestDownload"
row 2 "ServerErrorTest.VolumeRestoreBlockStream"
row 2 "ServerErrorTest.FileRestoreItemsAndData"
row 2 "ServerErrorTest.PartitionTableRestoreSectors"
row 3 "AllowDirectoriesTest.BrokenFileIsReportedOnceLocallyAndNeverToThePeer"
row 3 "HostileFaultTest.BrokenAllowFilesAndPipesHoldNothing"
row 3 "PreAuthLogTest.FloodKeepsItsShareOfTheLogAndIsSummarisedOncePerInterval"
row 3 "ConnectionLimitTest.RefusesBeyondTheLimitAndAdmitsAgainWhenASlotIsFreed"
row 3 "HostileFaultTest.FloodOfJunkConnectionsKeepsTheLogHistoryAndIdleOnesAreBounded"
row 3 "LoadSoakTest.SixteenServersAndAHostileBurstBesideABackup"
row 4 "KeyStoreTest.KeyFilesThatCannotBeReadAreNeverReplaced"
row 4 "KeyStoreTest.DamagedKeyFilesAreReplacedAndEveryCopyIsKept"
row 4 "HostileFaultTest.BrokenAllowFilesAndPipesHoldNothing"

passed="$(grep -acE '^\[ +OK +\] ' "$tests" || true)"
failed="$(grep -acE '^\[ +FAILED +\] [A-Za-z]+\.[A-Za-z]+ \(' "$tests" || true)"
fault_passed="$(grep -acE '^\[ +OK +\] (StalledServerTest|HostileFaultTest|DeviceFaultTest|ServerErrorTest|BackupTest)\.' "$tests" || true)"
fault_total="$(grep -acE '^\[ +(OK|FAILED) +\] (StalledServerTest|HostileFaultTest|DeviceFaultTest|ServerErrorTest|BackupTest)\.[A-Za-z]+ \(' "$tests" || true)"
fuzz_total=0
cat <<FIGURES

All reliability tests of the run: $passed passed, $failed failed.

## Figures

### Fuzzing (${fuzz_seconds} s per target, address and undefined-behaviour sanitizers)

| Target | Executions | Result |
|---|---|---|
FIGURES
while read -r line; do
  name="$(echo "$line" | sed -E 's/^fuzz ([a-z0-9_]+): .*/\1/')"
  runs="$(echo "$line" | sed -nE 's/.*, ([0-9]+) executions$/\1/p')"
  case "$line" in *FAILED*) verdict="crashed" ;; *) verdict="no crash" ;; esac
  echo "| $name | ${runs:-?} | $verdict |"
  fuzz_total=$((fuzz_total + ${runs:-0}))
done < <(grep -aE '^fuzz [a-z0-9_]+_fuzzer: ' "$fuzz" || true)
junk="$(figure flood.junk_connections)"; idle="$(figure flood.idle_connections)"
burst="$(figure load.hostile_connections)"
missed="$(figure soak.blocks_missed)"; wrong="$(figure soak.blocks_wrong_after_restore)"
cat <<TAIL

### Faults injected and survived

$fault_passed of $fault_total end-to-end fault tests passed: read errors that pass and that do
not, write errors during a restore, failed and hanging snapshots, a server that stops reading,
a server error in the digest exchange, stop requests mid-backup, a pipe and 2000
broken files in the allow directory, floods of junk and idle connections, a second backup of a
volume still being sent.

### Bad inputs tried

$fuzz_total fuzz inputs, ${junk:-?} junk connections and ${idle:-?} idle connections in the
flood test, ${burst:-?} hostile connections during the load test.

### Load held

$(figure load.servers) servers for $(figure load.seconds) s beside one backup and a burst of
${burst:-?} hostile connections: $(figure load.requests_succeeded) requests succeeded,
$(figure load.requests_failed) failed. Descriptors $(figure load.descriptors_before) before,
$(figure load.descriptors_after) after; resident memory $(figure load.rss_kib_before) KiB
before, $(figure load.rss_kib_after) KiB after. The backup verified block for block.

### Soak

$(figure soak.cycles) cycles of random writes into file data ($(figure soak.clusters_written)
clusters written) and incremental backups ($(figure soak.blocks_sent) blocks sent), each image
checked block for block against the volume; then $(figure soak.blocks_restored) blocks restored
over a scribbled volume and checked the same way.

### Change-tracking soak

A writer overwrote used clusters ($(figure tracking.clusters_written) clusters) and created
$(figure tracking.files_created) files without pause while incrementals ran back to back:
$(figure tracking.points_checked) points checked cluster by cluster against the digests their
snapshots recorded at creation ($(figure tracking.incrementals) of them incremental,
$(figure tracking.blocks_sent) blocks sent). Stale blocks: $(figure tracking.stale_blocks)
(must be 0). Refusals by the server: $(figure tracking.refusals) (must be 0).

### Data lost

$(( ${missed:-1} + ${wrong:-1} )) blocks ($missed missed by a backup, $wrong wrong after the
restore).
TAIL
