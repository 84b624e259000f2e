# The one version number of KXdv17_0, KXMsgv17_0, kxtools and kxd-sim.
# setup.py and CMakeLists.txt read it from here; the modules get it as the
# compile definition KX_VERSION and show it as __version__.
__version__ = '1.0.0'
