"""The few particle species the generator knows: masses, charges, lifetimes and decay modes.

Particle codes follow the usual Monte Carlo numbering (positive for particles, negative for
antiparticles). Masses are in MeV, proper decay lengths c*tau in mm.
"""

from __future__ import annotations

from typing import NamedTuple


class Species(NamedTuple):
    mass: float
    charge: int  # of the particle (positive code); the antiparticle has the opposite charge
    ctau: float | None  # proper decay length; None for particles that never decay here


SPECIES: dict[int, Species] = {
    # Stable, charged: these leave hits.
    11: Species(0.51099895, -1, None),  # electron
    13: Species(105.6583755, -1, None),  # muon
    211: Species(139.57039, 1, None),  # pion
    321: Species(493.677, 1, None),  # kaon
    2212: Species(938.27208816, 1, None),  # proton
    # Stable (or decaying to photons), neutral: dropped.
    12: Species(0.0, 0, None),  # electron neutrino
    14: Species(0.0, 0, None),  # muon neutrino
    111: Species(134.9768, 0, None),  # neutral pion
    2112: Species(939.56542052, 0, None),  # neutron
    # Strange hadrons: centimetre-scale flight.
    310: Species(497.611, 0, 26.844),  # K0 short
    3122: Species(1115.683, 0, 78.9),  # Lambda
    # Charm hadrons: sub-millimetre proper decay lengths.
    411: Species(1869.66, 1, 0.3118),  # D+
    421: Species(1864.84, 0, 0.1229),  # D0
    431: Species(1968.35, 1, 0.1499),  # D_s+
    4122: Species(2286.46, 1, 0.0602),  # Lambda_c+
    # Resonances that decay where they are made.
    333: Species(1019.461, 0, 0.0),  # phi
    443: Species(3096.9, 0, 0.0),  # J/psi
    # Beauty hadrons: mm-scale flight once boosted.
    511: Species(5279.65, 0, 0.4557),  # B0
    521: Species(5279.34, 1, 0.4911),  # B+
    531: Species(5366.88, 0, 0.4527),  # B_s0
    5122: Species(5619.60, 0, 0.4413),  # Lambda_b
}

#: Codes whose antiparticle is the particle itself.
SELF_CONJUGATE = frozenset({111, 310, 333, 443})

#: Particles followed through the detector.
TRACKED = frozenset({11, 13, 211, 321, 2212})

STRANGE = frozenset({310, 3122})
CHARM = frozenset({411, 421, 431, 4122})
BEAUTY = frozenset({511, 521, 531, 5122})

#: Decay modes of each unstable particle (positive code) as (relative weight, daughters).
#: Modes without charged daughters stand for everything invisible to the detector.
DECAYS: dict[int, tuple[tuple[float, tuple[int, ...]], ...]] = {
    310: ((0.69, (211, -211)), (0.31, (111, 111))),
    3122: ((0.64, (2212, -211)), (0.36, (2112, 111))),
    421: (
        (0.25, (-321, 211)),
        (0.25, (-321, 211, 211, -211)),
        (0.30, (-321, 211, 111)),
        (0.20, (-321, -13, 14)),
    ),
    411: ((0.50, (-321, 211, 211)), (0.30, (310, 211)), (0.20, (310, -11, 12))),
    431: ((0.70, (321, -321, 211)), (0.30, (310, 321))),
    4122: ((0.70, (2212, -321, 211)), (0.30, (3122, 211))),
    333: ((1.0, (321, -321)),),
    443: ((0.5, (13, -13)), (0.5, (11, -11))),
    511: (
        (0.30, (-411, 211)),
        (0.20, (-411, 211, 211, -211)),
        (0.15, (443, 321, -211)),
        (0.05, (321, -211)),
        (0.30, (-411, -13, 14)),
    ),
    521: (
        (0.30, (-421, 211)),
        (0.20, (-421, 211, 211, -211)),
        (0.15, (443, 321)),
        (0.35, (-421, -13, 14)),
    ),
    531: ((0.40, (-431, 211)), (0.20, (443, 333)), (0.40, (-431, -13, 14))),
    5122: ((0.50, (4122, -211)), (0.50, (4122, 13, -14))),
}


def conjugate(code: int) -> int:
    """The code of the antiparticle."""
    return code if code in SELF_CONJUGATE else -code


def charge(code: int) -> int:
    species = SPECIES[abs(code)]
    return species.charge if code > 0 else -species.charge
