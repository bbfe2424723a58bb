# jv_spy_link_connects(<target>): links LinkConnectSpy into the test and has
# the linker route the Link connection calls through it.
function(jv_spy_link_connects target)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/flows/LinkConnectSpy.cpp)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests/flows)
  foreach(symbol _ZN8Tovanire9Jorvanite4Link7connectEv
                 _ZN8Tovanire9Jorvanite4Link18discoverAndConnectE8linkTypejh
                 _ZN8Tovanire9Jorvanite4Link24connectThroughLinkModuleERS1_)
    target_link_options(${target} PRIVATE "LINKER:--wrap=${symbol}")
  endforeach()
endfunction()
