"""The package's version, kept beside the build's own (meson.build)."""

__version__ = "0.1.0"
