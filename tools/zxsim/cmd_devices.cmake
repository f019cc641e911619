target_link_libraries(zxsim PRIVATE zx_topology zx_sim zx_platform)
