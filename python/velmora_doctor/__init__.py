"""velmora-doctor: a read-only bring-up check of a Velmora torso's wiring.

Run ``velmora-doctor`` (or ``python -m velmora_doctor``); ``--help`` lists the options.
"""
