"""Native core of the agent SDK: prompt builders, answer parsers, tuning records,
fixed taxonomies and the background job lane, each an extension module."""

__version__ = "0.1.0"
