# The package module binds no public names; its submodules are imported on demand.
