# How ctest schedules the tests. First, the seconds the slowest tests take in a release
# build (ctest -j4 on two cores): ctest starts the most costly tests first, but a fresh build
# (as in CI) has no timings of its own yet and would start them in the order they were
# declared, leaving a long test to run alone at the end. Included by each suite's ctest file
# with suite_tests (the suite's discovered tests) and suite_cost (what any other test of the
# suite costs) set; names not in the suite are ignored, so a renamed or removed test only
# loses its place in the queue.
set(slow_tests
  HostileFaultTest.FloodOfJunkConnectionsKeepsTheLogHistoryAndIdleOnesAreBounded=34
  LoadSoakTest.SixteenServersAndAHostileBurstBesideABackup=17
  ProtocolTest.EditedSealedUnitsFailTheBackupAndNothingIsStored=17
  BackupTest.SecondBackupIsBusyWhileTheFirstTakesItsSlowSnapshot=15
  ObjectStoreTest.AGatewayStoppedDuringABackupAddsNoPointAndTheNextBackupCompletes=15
  FleetTest.AgentsSharingAStoreAreBackedUpSideBySide=14
  FleetTest.AJobsRunBacksUpWhatItCanAndStatusReportsEveryAgent=13
  FleetTest.EveryCommandExitsWithTheDocumentedStatus=13
  ObjectStoreTest.AnEncryptedBucketShowsNothingAndItsCatalogueComesBackOnlyWithItsSecret=19
  ObjectStoreTest.BackupsIntoABucketRestoreVerifyForgetCollectAndRebuildTheCatalogue=14
  ProtocolTest.EditedRestoreStreamIsRefusedBeforeAnythingIsWritten=13
  RestorePointTest.KilledBackupsLeaveEarlierPointsIntact=13
  RestorePointTest.SixtyFourKiBClustersInAnEncryptedStoreRestoreOnlyWithItsSecret=13
  FleetTest.EveryCommandsJsonMatchesItsSchema=11
  StoreAgentsTest.TwoAgentsKeepTheirPointsKeysDigestsRetentionAndTablesApart=11
  ChangeTrackingTest.TheSecondBackupAndTheFirstAfterARestartAreIncremental=10
  ProtocolTest.EditedBackupStreamIsRefusedAndNothingIsStored=9
  RestorePointTest.DamageStopsARestoreBeforeTheTargetAndTheNextBackupRepairsIt=9
  PointFilesTest.RandomChunkDamageNeverGivesWrongBytes=8
  ProtocolTest.EitherPeerAloneFallsBackToVersion1AndPointsRecordTheirVersion=8
  ObjectStoreTest.ADamagedChunkIsSetAsideByVerifyAndTheNextBackupHealsIt=7
  RestorePointTest.ASecondCommandOnABusyStoreIsRefusedAndWrongCommandLinesGetUsage=7
  StalledServerTest.ServerThatStopsReadingIsDroppedAfterTheTimeOutAndAStopEndsABackup=7
  BackupTest.TransformationsAndTheNullTarget=6
  Lifecycle.ConsoleAndServiceStopInOrderOnTheirStopRequests=6
  RestorePointTest.FullIncrementalAndDigestComparedPointsEachRestoreAsTheVolumeWasThen=6
  StalledServerTest.SecondBackupOfAVolumeStillBeingSentIsBusyOtherVolumesAreNot=6
  TrackingSoakTest.IncrementalsBesideABusyWriterNeverMissAWriteNorGetRefused=6
  VolumeRestoreTest.ImageArrivesByteForByteInEveryForm=6
  BackupTest.ReadErrorsFailTheBackupAndTheNextBackupSendsTheBlocks=5
  GptDiskE2E.VolumesAndTheTableRestoreOntoAnotherPartitionAndALargerDisk=5
  HostileFaultTest.BrokenAllowFilesAndPipesHoldNothing=5
  RestorePointTest.PointsVerifyAndRestoreWorkFromAReadOnlyStore=5
  RestorePointTest.VerifyNamesAFlippedByteAndForgetWithGcKeepsKeptPointsRestorable=5
  ServerErrorTest.BackupDigestDownload=5
  ServerErrorTest.FileRestoreItemsAndData=5
  ServerErrorTest.Handshake=5
  ServerErrorTest.VolumeRestoreBlockStream=5
  VolumeRestoreTest.BackupChainRestoresToAVolumeWithTheSameFiles=5
)
if(suite_cost)
  foreach(test IN LISTS suite_tests)
    set_tests_properties(${test} PROPERTIES COST ${suite_cost})
  endforeach()
endif()
foreach(entry IN LISTS slow_tests)
  string(REGEX MATCH "^(.*)=([0-9]+)$" matched "${entry}")
  # list(FIND), not IN_LIST: a ctest file runs without the project's policies.
  list(FIND suite_tests "${CMAKE_MATCH_1}" index)
  if(NOT index EQUAL -1)
    set_tests_properties(${CMAKE_MATCH_1} PROPERTIES COST ${CMAKE_MATCH_2})
  endif()
endforeach()
# One test stops the S3 gateway in the middle of a backup, so every test that reaches the
# gateway takes its lock; the other tests run beside them rather than waiting for one alone.
foreach(test IN LISTS suite_tests)
  if(test MATCHES "^(ObjectStoreTest|S3Client)\\.|BlobStoreContract\\.")
    set_tests_properties(${test} PROPERTIES RESOURCE_LOCK s3_gateway)
  endif()
endforeach()
