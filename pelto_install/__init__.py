"""The installer of pelto, as modules by concern; install.py beside this folder is its entry.

    common      what every module uses: errors, output, small file helpers
    steam       the user's Steam installations and the destination
    layout      the tables the launcher is built with: where a Wine build and the tool hold what
    wine        the Wine build to bundle
    wine_copy   the tool's Wine tree: links into the build, or a copy of it
    modules     Wine's Windows modules without their debug sections; DXVK and VKD3D-Proton
    programs    pelto and its helpers: from the release archive, or built in a checkout
    template    the shared prefix template, made by pelto's own wineboot helper
    tree        the installed tree in place: its checks, the staging folder and the swap
    space       the free space the new tree needs
    plan        the plan of an install (every check, nothing changed) and its steps
    uninstall   the plan of a removal, and the removal
    cli         the command line
"""
