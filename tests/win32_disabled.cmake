# Tests of the Win32 build that are Linux-only by nature, disabled after
# discovery (ctest reports them as "Not Run (Disabled)"):
set(_linux_only_tests
  # Its death test relies on fork(): the child shares the parent's board.
  # gtest on Windows runs the test again in a new process, with a board of
  # its own.
  FlashDeviceTest.PowerCutAfterBusCyclesEndsTheProgram
  HalRestartDeathTest.EndsTheProgramWithStatusOne
  # Its expected messages are regular expressions with bracket classes,
  # which gtest's own regular expressions on Windows do not have.
  MmioDeathTest.StrayAccessesAreDataAborts
  # glibc's C locale refuses a narrow byte above 0x7F; Windows' C library
  # widens every byte (as Latin-1), so no format fails there.
  TextTest.FailedFormatLeavesATerminatedText
)
set_tests_properties(${_linux_only_tests} PROPERTIES DISABLED TRUE)
# Not disabled, given more time: the comparison of the bus's shortcuts with
# the devices' state machines makes millions of bus cycles, each a call
# through Wine's heap and locks; on a loaded machine it took over the usual
# 120 s (alone it takes about 30 s).
set_tests_properties(FlashDeviceTest.CommandShortcutsEqualTheFullStateMachines PROPERTIES TIMEOUT 600)
