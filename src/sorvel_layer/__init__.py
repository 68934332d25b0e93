"""Namespace of the agent SDK; this distribution provides only its private core."""
