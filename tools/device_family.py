"""Closed-form I-V curves of the PLD and NLD device families, with their known figures of merit: the
physics behind the demo's and the benchmarks' training data, and the reference the figure tests use.

Numpy only; korva is imported lazily, for its configured x grids and for records that korva's own
functions read. Everything is vectorised over devices and bias points.

The device (magnitudes throughout: PLD's curves are stated in -V and log10(-Id), so its gate and
drain voltages and currents here are the magnitudes -Vg, -Vd, -Id; its body bias Vb is a reverse
bias, raising the threshold):

  intrinsic channel (EKV interpolation, source-referenced)
    Vt   = k T / q                              thermal voltage
    2phiF = 2 Vt ln(Nb / ni(T))                 surface potential at threshold
    gamma = sqrt(2 q eps_si Nb) / Cox           body-effect coefficient
    V_T  = V_FB + 2phiF + gamma sqrt(2phiF) + q D / Cox                     (long channel, Vsb = 0)
           + gamma (sqrt(2phiF + Vsb) - sqrt(2phiF))                        body effect
           - theta_sc(L) (2 (Vbi - 2phiF) + Vds)                            roll-off and DIBL
    theta_sc = exp(-Leff / 2l) + 2 exp(-Leff / l),  l = 1.5 sqrt(eps_si / eps_ox tox xdep) (the body's
           lateral diffusion grades the channel doping, so the drain's field reaches further than
           over a uniform body)
    n    = 1 + gamma / (2 sqrt(2phiF + Vsb))                                slope factor
    mu   = mu0 (T/300)^-1.5 / (1 + theta_mu Vov),  Vov = 2 n Vt ln(1 + exp((Vgs - V_T) / (2 n Vt)))
    Is   = 2 n mu Cox W / Leff Vt^2
    Ich  = Is [F(u) - F(u - Vds / Vt)] (1 + lambda Vds),  F(u) = ln^2(1 + exp(u / 2)),
           u = (Vgs - V_T) / (n Vt)                                         weak inversion: swing n Vt ln 10
    the channel sees Vds through a knee Vk (the drift region holds the rest of a high drain bias):
           Vds,int = Vds - s [ln(1 + exp((Vds - Vk) / s)) - ln(1 + exp(-Vk / s))]
  series resistance, solved self-consistently (Newton on ln I, bracketed, to 1e-13):
    Ich = f(Vgs - I Rs, Vds - I (Rs + Rd), Vsb + I Rs)
  drain-body junction, Vdb = Vds + Vsb
    leakage      Ileak = j_leak(T) W (sqrt(1 + Vdb / Vbi) - 1) / (sqrt(1 + 3.3 / Vbi) - 1),
                 j_leak(T) proportional to ni(T) (generation current)
    avalanche    e = exp((Vdb - BV) / Vav),  Ibd = j0 W e / (1 + e j0 / jmax),  M = 1 + e / (1 + e / Mmax)
  Id = Ich M + Ileak + Ibd;  a curve's y is log10(max(Id, 1e-14 A)) (the clipped current of the y columns)

BV is, by definition, the drain-body voltage at which the avalanche current reaches j0 = 1 uA/um.
The process constants are the fields of `Process` (PLD_PROCESS, NLD_PROCESS); `dataclasses.replace`
changes the temperature or switches an effect off.

PLD: a p-channel LDMOS with a 3.3 V gate: n-well body 1e17 cm^-3, |V_T| = 0.70 V at A = 0, 7 nm and
300 K, n = 1.20 (71.6 mV/decade), gamma = 0.37 V^0.5, holes 110 cm^2/Vs in the channel. Its inputs:
  "Finger Width" [um] and "nf": W = Finger Width x nf;
  "Length" [um]: the drawn channel length, Leff = Length - 0.02 um;
  "Si pitch" [um]: the drift length Ld between the channel and the drain contact:
                   Rd = rho(Nd) Ld / (t_drift W), t_drift = 0.5 um,
                   BV = (4.5 V + 12 V/um Ld / (1 + Nd / 4e16)) (1 + 1e-3 (T - 300));
  "A" [1e12 cm^-2]: the net n-type threshold-adjust dose (negative: counter-doping), V_T += q A 1e12 / Cox;
  "C" [1e16 cm^-3]: the drift doping Nd (Caughey-Thomas hole mobility): more doping, less Rd and less BV;
  "E" [nm]: the gate-oxide thickness tox (Cox, gamma, n, theta_mu ~ 1/tox and the dose's shift follow it).
  Curves: "id-vg-lin" / "id-vg-sat" at |Vd| = 0.1 / 3.3 V, Vb the variant; "id-vd-0" / "id-vd-3.3" at
  Vb = 0 / 3.3 V, |Vg| the variant; "breakdown" at Vg = Vb = 0.

NLD: an n-channel high-voltage LDMOS: 12 nm oxide, p-body 1.5e17 cm^-3, V_T = 1.20 V long-channel,
n = 1.42 (84.5 mV/decade), electrons 400 cm^2/Vs, W = 10 um x 2 fingers. Inputs A..E in um:
  "A": the source length (source resistance (100 + 100 A) Ohm um / W and the pitch);
  "B": the channel length;
  "C", "D", "E": the drift, in three segments: C under the gate (accumulation, its sheet resistance
      falls with Vg), D under the field plate, E beyond it:
      Rd = (2000 C / (1 + Vg / 2 V) + 1500 D + 1000 E) Ohm um / W,
      BV = 8 V + 10 V/um (C + D + E) (0.7 + 0.6 (C + D) / (C + D + E)) (the plates spread the field);
  the cell's half-pitch is the transform's HP = 0.77 + A + B + C + D + E + 0.1 um.
  Curves: "id-vg" at Vd = 0.1 V, "id-vd" at Vg = 6 V.

RANGES holds the design ranges that sample_devices draws from (and the surrogates are trained on).
"""
import dataclasses

import numpy as np

Q = 1.602176634e-19          # C
K_B = 1.380649e-23           # J/K
EPS0 = 8.8541878128e-14      # F/cm
EPS_SI = 11.7 * EPS0
EPS_OX = 3.9 * EPS0
N_SD = 1e20                  # source/drain doping, cm^-3 (built-in voltages)
I_CLIP = 1e-14               # A: the floor of the clipped current (log10 -> -14)
LN10 = np.log(10.0)

PLD_INPUTS = ["Finger Width", "Length", "nf", "Si pitch", "A", "C", "E"]
NLD_INPUTS = ["A", "B", "C", "D", "E"]
NLD_BASE_INPUTS = ["A", "B", "C+D+E", "C/(C+D+E)", "(C+D)/(C+D+E)", "S", "HP"]
NLD_WIDTH = 10.0 * 2.0       # um: 10 um fingers, 2 of them (the NLD input transform's W and Nf)

# The biases each curve is measured at, in magnitudes: (swept quantity, fixed biases, variant key).
CURVE_BIASES = {
    "PLD": {
        "id-vg-lin": ("vg", {"vd": 0.1}, "Vb"),
        "id-vg-sat": ("vg", {"vd": 3.3}, "Vb"),
        "id-vd-0": ("vd", {"vb": 0.0}, "Vg"),
        "id-vd-3.3": ("vd", {"vb": 3.3}, "Vg"),
        "breakdown": ("vd", {"vg": 0.0, "vb": 0.0}, None),
    },
    "NLD": {
        "id-vg": ("vg", {"vd": 0.1, "vb": 0.0}, None),
        "id-vd": ("vd", {"vg": 6.0, "vb": 0.0}, None),
    },
}


@dataclasses.dataclass(frozen=True)
class Process:
    """The technology and the conditions of a device family; `dataclasses.replace` makes variants.
    The switches turn single effects off for the special cases the figure tests need."""
    device_type: str
    temperature: float = 300.0          # K
    body_doping: float = 1e17           # cm^-3, under the channel
    v_fb: float = -0.47                 # V, flat-band term of |V_T| (gate work function and oxide charge)
    tox_nm: float = 7.0                 # nm, when the device's inputs do not give it
    mu0: float = 110.0                  # cm^2/Vs, inversion-layer mobility at 300 K
    theta_mu: float = 0.15              # 1/V, mobility degradation at tox_ref_nm (scales as 1/tox)
    tox_ref_nm: float = 7.0
    delta_l: float = 0.02               # um, Length - Leff
    l_sc_factor: float = 1.5            # the characteristic length over a uniform body's (graded channel)
    lambda_clm: float = 0.02            # um/V: channel-length modulation lambda = lambda_clm / Leff
    r_source: float = 150.0             # Ohm um, source contact and extension
    r_source_sheet: float = 0.0         # Ohm/sq x source length (NLD's A)
    t_drift: float = 0.5                # um, drift junction depth (PLD)
    rsh_acc: float = 2000.0             # Ohm/sq, NLD drift under the gate (at Vg = 0)
    v_acc: float = 2.0                  # V, NLD accumulation: that sheet resistance / (1 + Vg / v_acc)
    rsh_plate: float = 1500.0           # Ohm/sq, NLD drift under the field plate
    rsh_drift: float = 1000.0           # Ohm/sq, NLD drift beyond the plate
    v_knee: float = 5.0                 # V, the channel's share of a high drain bias saturates here
    knee_softness: float = 0.25         # V
    bv0: float = 4.5                    # V, BV = (bv0 + e_lat L_drift / (1 + Nd / nd_bv)) (1 + bv_tc (T - 300))
    e_lat: float = 12.0                 # V/um
    nd_bv: float = 4e16                 # cm^-3
    bv_tc: float = 1e-3                 # 1/K
    v_av_rel: float = 0.02              # avalanche e-fold voltage: v_av_rel BV + v_av0
    v_av0: float = 0.05                 # V
    j0: float = 1e-6                    # A/um, the avalanche current density at V = BV (BV's definition)
    j_max: float = 1e-4                 # A/um, where the avalanche current levels off
    m_max: float = 10.0                 # the largest multiplication of the channel current
    j_leak: float = 5e-14               # A/um at Vdb = 3.3 V and 300 K
    # switches
    short_channel: bool = True          # roll-off and DIBL
    series_resistance: bool = True
    mobility_degradation: bool = True
    clm: bool = True
    leakage: bool = True
    avalanche: bool = True
    floor_decades: float = None         # a flat floor this many decades under the threshold level,
    floor_i_vth: float = 1e-7           # i_vth x W/L (PLD) or i_vth (NLD), in place of the junction leakage


PLD_PROCESS = Process("PLD")
NLD_PROCESS = Process("NLD", body_doping=1.5e17, v_fb=-0.371, tox_nm=12.0, mu0=400.0, theta_mu=0.1, tox_ref_nm=12.0,
                      lambda_clm=0.03, r_source=100.0, r_source_sheet=100.0, v_knee=12.0, knee_softness=1.0,
                      bv0=8.0, e_lat=10.0, j_leak=1e-13)
PROCESSES = {"PLD": PLD_PROCESS, "NLD": NLD_PROCESS}

# Realistic design ranges: (low, high, "log" | "lin" | "int").
RANGES = {
    "PLD": {"Finger Width": (1.0, 20.0, "log"), "Length": (0.4, 5.0, "log"), "nf": (1, 16, "int"),
            "Si pitch": (0.4, 1.5, "lin"), "A": (-0.3, 0.5, "lin"), "C": (1.0, 5.0, "lin"), "E": (6.5, 8.0, "lin")},
    "NLD": {"A": (0.2, 1.0, "lin"), "B": (0.5, 3.0, "log"), "C": (0.2, 1.5, "lin"), "D": (0.5, 4.0, "lin"),
            "E": (0.3, 3.0, "lin")},
}


# ---------------------------------------------------------------------------------------------
# devices and their parameters

def sample_devices(device_type, n, seed=0, ranges=None):
    """n devices drawn uniformly (log-uniformly for "log") over the design ranges, as a float64
    DataFrame over the device type's raw inputs."""
    import pandas as pd
    rng = np.random.default_rng(seed)
    columns = {}
    for name, (low, high, kind) in (ranges or RANGES[device_type]).items():
        if kind == "int":
            columns[name] = rng.integers(low, high + 1, n).astype(float)
        elif kind == "log":
            columns[name] = np.exp(rng.uniform(np.log(low), np.log(high), n))
        else:
            columns[name] = rng.uniform(low, high, n)
    return pd.DataFrame(columns)[PLD_INPUTS if device_type == "PLD" else NLD_INPUTS]


def _column(devices, name):
    return np.asarray(devices[name], dtype=float)


def intrinsic_density(temperature):
    """ni(T) in cm^-3: 1e10 at 300 K, with the band gap's narrowing (Varshni)."""
    gap = 1.17 - 4.73e-4 * temperature ** 2 / (temperature + 636.0)
    gap300 = 1.17 - 4.73e-4 * 300.0 ** 2 / 936.0
    exponent = -Q * gap / (2 * K_B * temperature) + Q * gap300 / (2 * K_B * 300.0)
    return 1e10 * (temperature / 300.0) ** 1.5 * np.exp(exponent)


def hole_drift_mobility(doping, temperature):
    """Caughey-Thomas hole mobility in cm^2/Vs, lattice scattering ~ T^-2.2."""
    mu_max = 470.5 * (temperature / 300.0) ** -2.2
    return 44.9 + (mu_max - 44.9) / (1.0 + (doping / 2.23e17) ** 0.719)


def breakdown_voltage(l_drift, doping_or_share, process):
    """BV (V): grows with the drift length; PLD: the lateral field falls as the drift doping rises;
    NLD: the field plates' share spreads the field."""
    if process.device_type == "PLD":
        field = process.e_lat / (1.0 + doping_or_share / process.nd_bv)
    else:
        field = process.e_lat * (0.7 + 0.6 * doping_or_share)
    return (process.bv0 + field * l_drift) * (1.0 + process.bv_tc * (process.temperature - 300.0))


class Params(dict):
    """Per-device parameters (arrays over the devices); attribute access for the equations."""
    __getattr__ = dict.__getitem__

    def take(self, index):
        return Params({k: (v[index] if isinstance(v, np.ndarray) and v.ndim == 1 else v) for k, v in self.items()})

    def column(self):
        """The arrays as (n, 1) columns, to broadcast against (n, points) biases."""
        return Params({k: (v[:, None] if isinstance(v, np.ndarray) and v.ndim == 1 else v) for k, v in self.items()})


def device_params(devices, device_type, process=None):
    """The physical parameters of each device, from its inputs (a DataFrame or a mapping of arrays)."""
    proc = process or PROCESSES[device_type]
    if proc.device_type != device_type:
        raise ValueError(f"a {proc.device_type} process for {device_type} devices")
    T = proc.temperature
    vt = K_B * T / Q
    ni = intrinsic_density(T)
    p = Params(vt=vt, temperature=T)
    if device_type == "PLD":
        fw, length, nf = _column(devices, "Finger Width"), _column(devices, "Length"), _column(devices, "nf")
        l_drift, dose = _column(devices, "Si pitch"), _column(devices, "A") * 1e12
        nd, tox = _column(devices, "C") * 1e16, _column(devices, "E")
        p.update(W=fw * nf, L=length, l_drift=l_drift, drift_doping=nd)
        rho = 1.0 / (Q * hole_drift_mobility(nd, T) * nd)                       # Ohm cm
        p["r_d0"] = rho * 1e4 * l_drift / (proc.t_drift * p.W)                 # Ohm (lengths in um)
        p["r_acc"] = np.zeros_like(fw)
        p["r_s"] = proc.r_source / p.W
        p["bv"] = breakdown_voltage(l_drift, nd, proc)
    elif device_type == "NLD":
        a, b, c, d, e = (_column(devices, k) for k in NLD_INPUTS)
        width = np.full_like(a, NLD_WIDTH)
        total = c + d + e
        p.update(W=width, L=b, l_drift=total)
        p["r_d0"] = (proc.rsh_plate * d + proc.rsh_drift * e) / width
        p["r_acc"] = proc.rsh_acc * c / width
        p["r_s"] = (proc.r_source + proc.r_source_sheet * a) / width
        p["bv"] = breakdown_voltage(total, (c + d) / total, proc)
        dose = np.zeros_like(a)
        tox = np.full_like(a, proc.tox_nm)
    else:
        raise ValueError(f"unknown device type {device_type!r}")
    if not proc.series_resistance:
        p["r_d0"], p["r_acc"], p["r_s"] = np.zeros_like(p.W), np.zeros_like(p.W), np.zeros_like(p.W)

    cox = EPS_OX / (tox * 1e-7)                                                 # F/cm^2
    nb = proc.body_doping
    phi2 = 2 * vt * np.log(nb / ni)
    gamma = np.sqrt(2 * Q * EPS_SI * nb) / cox
    x_dep = np.sqrt(2 * EPS_SI * phi2 / (Q * nb)) * 1e4                         # um
    l_sc = proc.l_sc_factor * np.sqrt(EPS_SI / EPS_OX * tox * 1e-3 * x_dep)     # um
    l_eff = p.L - proc.delta_l
    theta_sc = np.exp(-l_eff / (2 * l_sc)) + 2 * np.exp(-l_eff / l_sc) if proc.short_channel else np.zeros_like(l_eff)
    v_bi = vt * np.log(nb * N_SD / ni ** 2)
    p.update(
        tox=tox, cox=cox, phi2=phi2, gamma=gamma, l_eff=l_eff, l_sc=l_sc, theta_sc=theta_sc, v_bi=v_bi,
        v_t0=proc.v_fb + phi2 + gamma * np.sqrt(phi2) + Q * dose / cox,          # long channel, Vsb = Vds = 0
        roll=2 * (v_bi - phi2),
        mu0=np.full_like(l_eff, proc.mu0 * (T / 300.0) ** -1.5),
        theta_mu=(proc.theta_mu * proc.tox_ref_nm / tox) if proc.mobility_degradation else np.zeros_like(tox),
        lam=(proc.lambda_clm / l_eff) if proc.clm else np.zeros_like(l_eff),
        v_av=proc.v_av_rel * p.bv + proc.v_av0,
    )
    j_leak = proc.j_leak * intrinsic_density(T) / intrinsic_density(300.0)
    p["i_leak_ref"] = j_leak * p.W if proc.leakage else np.zeros_like(p.W)
    p["leak_norm"] = np.sqrt(1.0 + 3.3 / v_bi) - 1.0
    if proc.floor_decades is not None:
        scale = p.W / p.L if device_type == "PLD" else np.ones_like(p.W)
        p["i_floor"] = proc.floor_i_vth * scale * 10.0 ** -proc.floor_decades
        p["i_leak_ref"] = np.zeros_like(p.W)
    else:
        p["i_floor"] = np.zeros_like(p.W)
    p["avalanche"] = proc.avalanche
    p.update(v_acc=proc.v_acc, knee=proc.v_knee, softness=proc.knee_softness, j0=proc.j0, j_max=proc.j_max,
             m_max=proc.m_max)
    return p


# ---------------------------------------------------------------------------------------------
# currents

def _softplus(z):
    return np.logaddexp(0.0, z)


def _ekv_f(u):
    return _softplus(u / 2.0) ** 2


def threshold_voltage(p, vsb, vds):
    """V_T at the intrinsic biases: body effect, roll-off and DIBL (vds the channel's own share)."""
    return p.v_t0 + p.gamma * (np.sqrt(p.phi2 + vsb) - np.sqrt(p.phi2)) - p.theta_sc * (p.roll + vds)


def slope_factor(p, vsb):
    return 1.0 + p.gamma / (2.0 * np.sqrt(p.phi2 + vsb))


def _knee(p, vds):
    return vds - p.softness * (_softplus((vds - p.knee) / p.softness) - _softplus(-p.knee / p.softness))


def intrinsic_current(p, vgs, vds, vsb):
    """The channel current of the intrinsic transistor at its internal biases (no series resistance)."""
    vds_i = _knee(p, vds)
    n = slope_factor(p, vsb)
    nvt = n * p.vt
    drive = vgs - threshold_voltage(p, vsb, vds_i)
    vov = 2 * nvt * _softplus(drive / (2 * nvt))
    mu = p.mu0 / (1.0 + p.theta_mu * vov)
    i_s = 2 * n * mu * p.cox * (p.W / p.l_eff) * p.vt ** 2
    u = drive / nvt
    return i_s * (_ekv_f(u) - _ekv_f(u - vds_i / p.vt)) * (1.0 + p.lam * vds_i)


def drift_resistance(p, vg):
    return p.r_d0 + p.r_acc / (1.0 + np.maximum(vg, 0.0) / p.v_acc)


def channel_current(p, vg, vd, vb, tol=1e-13, max_iter=100):
    """The channel current with the source and drift resistances, solved self-consistently:
    I = f(Vg - I Rs, Vd - I (Rs + Rd), Vb + I Rs). In u = ln I, h(u) = u - ln f(e^u) rises with a
    slope of at least 1, so every evaluation bounds the root: h(u) > 0 puts it in [u - h(u), u],
    h(u) < 0 in [u, u - h(u)]. Newton steps (the slope taken numerically) start from the series
    combination of the channel's and the resistors' limits and stay inside the bounds; a step
    that would leave them bisects instead."""
    shape = np.broadcast_shapes(np.shape(vg), np.shape(vd), np.shape(vb), np.shape(p.W))
    vg, vd, vb = (np.broadcast_to(v, shape).ravel() for v in (vg, vd, vb))
    flat = Params({k: (np.broadcast_to(v, shape).ravel() if isinstance(v, np.ndarray) else v) for k, v in p.items()})
    rs = flat.r_s
    rt = rs + drift_resistance(flat, vg)
    i0 = intrinsic_current(flat, vg, vd, vb)
    current = i0.copy()
    todo = np.flatnonzero((i0 > 0) & (rt > 0) & (vd > 0) & np.isfinite(i0))
    if todo.size:
        q = flat.take(todo)
        g, d, b, r_s, r_t = vg[todo], vd[todo], vb[todo], rs[todo], rt[todo]
        i_r = d / r_t
        hi = np.log(np.minimum(i0[todo], i_r))
        lo = np.full(todo.size, -np.inf)
        u = np.log(i0[todo] * i_r / (i0[todo] + i_r))
        active = np.arange(todo.size)
        for _ in range(max_iter):
            sub = q.take(active)
            g_, d_, b_, rs_, rt_ = g[active], d[active], b[active], r_s[active], r_t[active]

            def h(v):
                i = np.exp(v)
                f = intrinsic_current(sub, g_ - i * rs_, d_ - i * rt_, b_ + i * rs_)
                return v - np.log(np.maximum(f, 1e-300))

            ui = u[active]
            hu = h(ui)
            slope = np.maximum((h(ui + 1e-7) - hu) / 1e-7, 1.0)
            below = hu < 0
            lo_a = np.where(below, ui, np.maximum(lo[active], ui - hu))
            hi_a = np.where(below, np.minimum(hi[active], ui - hu), ui)
            new = ui - hu / slope
            new = np.where((new <= lo_a) | (new >= hi_a), 0.5 * (lo_a + hi_a), new)
            new = np.where(hu == 0, ui, new)
            lo[active], hi[active], u[active] = lo_a, hi_a, new
            done = (np.abs(new - ui) <= tol * np.maximum(1.0, np.abs(ui))) | (hi_a - lo_a <= tol)
            active = active[~done]
            if active.size == 0:
                break
        current[todo] = np.exp(u)
    return current.reshape(shape)


def junction_currents(p, vdb):
    """(leakage, avalanche current, multiplication factor) of the drain-body junction at Vdb."""
    vdb = np.maximum(vdb, 0.0)
    leak = p.i_leak_ref * (np.sqrt(1.0 + vdb / p.v_bi) - 1.0) / p.leak_norm + p.i_floor
    if not p.avalanche:
        return leak, np.zeros_like(leak), np.ones_like(leak)
    e = np.exp(np.minimum((vdb - p.bv) / p.v_av, 700.0))
    i_bd = p.j0 * p.W * e / (1.0 + e * p.j0 / p.j_max)
    mult = 1.0 + e / (1.0 + e / p.m_max)
    return leak, i_bd, mult


def drain_current(p, vg, vd, vb):
    """|Id| in A at gate, drain and (reverse) body biases, broadcast against the devices' (n, 1)
    parameters (use `p.column()`)."""
    i_ch = channel_current(p, vg, vd, vb)
    leak, i_bd, mult = junction_currents(p, np.asarray(vd) + np.asarray(vb))
    return i_ch * mult + leak + i_bd


def curve_biases(device_type, curve_type, variant, x):
    """(vg, vd, vb) magnitudes along x for one curve and variant dict."""
    swept, fixed, key = CURVE_BIASES[device_type][curve_type]
    biases = {"vg": 0.0, "vd": 0.0, "vb": 0.0, **fixed}
    if key is not None:
        value = float(variant[key])
        biases["vb" if key == "Vb" else "vg"] = value if key == "Vb" else -value
    biases[swept] = x
    return biases["vg"], biases["vd"], biases["vb"]


# ---------------------------------------------------------------------------------------------
# curves on the configured grids

def device_config(device_type):
    from korva.curve import mos_utils
    return mos_utils._DEVICE_CONFIG[device_type]


def curve_current(devices, device_type, curve_type, variant, x=None, process=None, params=None):
    """|Id| (A) of one curve and variant for every device: an (n devices, len(x)) array on the
    configured grid unless x is given."""
    p = params if params is not None else device_params(devices, device_type, process)
    if x is None:
        x = np.asarray(device_config(device_type)["CURVE_INFO"][curve_type]["x_range"], dtype=float)
    vg, vd, vb = curve_biases(device_type, curve_type, variant, np.asarray(x, dtype=float)[None, :])
    return drain_current(p.column(), vg, vd, vb)


def log_current(current):
    return np.log10(np.maximum(current, I_CLIP))


def curves(devices, device_type, curve_types=None, process=None, config=None):
    """{(curve_type, variant label): (x, y)} with y = log10 of the clipped |Id|, (n devices, points),
    for every configured curve and variant (or those of `curve_types`)."""
    config = config or device_config(device_type)
    p = device_params(devices, device_type, process)
    out = {}
    for curve_type, info in config["CURVE_INFO"].items():
        if curve_types is not None and curve_type not in curve_types:
            continue
        x = np.asarray(info["x_range"], dtype=float)
        for label, variant in info["variants"].items():
            current = curve_current(None, device_type, curve_type, variant, x, params=p)
            out[(curve_type, label)] = (x, log_current(current))
    return out


def records(devices, device_type, process=None, config=None):
    """The exact curves as korva's curve records, one list per device (one "submodel", spread 0):
    what `korva.curve.metrics.device_metrics(records[i], devices.iloc[i], device_type)` reads."""
    config = config or device_config(device_type)
    table = curves(devices, device_type, process=process, config=config)
    out = []
    for i in range(len(devices)):
        device = []
        for curve_type, info in config["CURVE_INFO"].items():
            for label, variant in info["variants"].items():
                x, y = table[(curve_type, label)]
                row = y[i].tolist()
                device.append({
                    "curve_type": curve_type, "curve_variant": None if label == "default" else label,
                    "_variant_dict": variant, "x_coords": x.tolist(), "y_coords": row,
                    "y_coords_std": [0.0] * len(row), "_y_coords": [row],
                    "x_label": info["x_label"], "x_unit": info["x_unit"],
                    "y_label": info["y_label"], "y_unit": info["y_unit"],
                })
        out.append(device)
    return out


# ---------------------------------------------------------------------------------------------
# the models' view: query rows as korva builds them

def nld_base_inputs(devices):
    """The NLD input transform's base columns, with the Python arithmetic's order of operations."""
    a, b, c, d, e = (_column(devices, k) for k in NLD_INPUTS)
    c_plus_d = c + d
    total = c_plus_d + e
    hp = ((((((0.77 + a) + b) + c) + d) + e) + 0.1)
    return np.column_stack([a, b, total, c / total, c_plus_d / total, d + e, hp])


def static_inputs(devices, device_type):
    """The static columns of the models' query rows (n, 7)."""
    if device_type == "PLD":
        return np.column_stack([_column(devices, k) for k in PLD_INPUTS])
    return nld_base_inputs(devices)


def inputs_from_query(X, device_type):
    """The raw device inputs of query rows (inverting the NLD transform)."""
    if device_type == "PLD":
        return {k: X[:, i] for i, k in enumerate(PLD_INPUTS)}
    a, b, total, c_share, cd_share = (X[:, i] for i in range(5))
    c = c_share * total
    d = cd_share * total - c
    return {"A": a, "B": b, "C": c, "D": d, "E": total - c - d}


class ExactModel:
    """A curve model that answers korva's query rows with the closed-form curve itself: log10 of
    the clipped |Id| (or |Id| with linear=True). korva calls it per device, like any estimator of
    its own class, so `predict_curves_for_inputs` and `predict_device_metrics` give the exact curves
    and figures (spread 0)."""

    def __init__(self, device_type, curve_type, process=None, linear=False):
        self.device_type, self.curve_type, self.process, self.linear = device_type, curve_type, process, linear

    def predict(self, X):
        X = np.asarray(X, dtype=float)
        swept, fixed, key = CURVE_BIASES[self.device_type][self.curve_type]
        p = device_params(inputs_from_query(X, self.device_type), self.device_type, self.process)
        biases = {"vg": 0.0, "vd": 0.0, "vb": 0.0, **fixed}
        if key == "Vb":
            biases["vb"] = X[:, -2]
        elif key == "Vg":
            biases["vg"] = -X[:, -2]
        biases[swept] = X[:, -1]
        current = drain_current(p, biases["vg"], biases["vd"], biases["vb"])
        return current if self.linear else log_current(current)


def exact_models(device_type, process=None):
    """{device_type: {curve_type: ExactModel}} for korva's prediction functions."""
    return {device_type: {ct: ExactModel(device_type, ct, process) for ct in CURVE_BIASES[device_type]}}


# ---------------------------------------------------------------------------------------------
# the known figures

def _bisect(fn, lo, hi, iterations=80):
    """Root of an increasing fn on [lo, hi] per element (fn(lo) < 0 <= fn(hi) assumed)."""
    lo, hi = np.array(lo, dtype=float), np.array(hi, dtype=float)
    for _ in range(iterations):
        mid = 0.5 * (lo + hi)
        up = fn(mid) >= 0
        hi = np.where(up, mid, hi)
        lo = np.where(up, lo, mid)
    return 0.5 * (lo + hi)


def constant_current_voltage(p, device_type, curve_type, variant, level, x_range):
    """The swept bias at which log10 |Id| first reaches `level` (per device), by bisection on the
    continuous curve within x_range; NaN where it starts above or never reaches it (the curves
    rise monotonically)."""
    x0, x1 = float(x_range[0]), float(x_range[-1])

    def excess(x):
        vg, vd, vb = curve_biases(device_type, curve_type, variant, x)
        return log_current(drain_current(p, vg, vd, vb)) - level

    n = len(p.W)
    lo, hi = np.full(n, x0), np.full(n, x1)
    root = _bisect(excess, lo, hi)
    valid = (excess(lo) < 0) & (excess(hi) >= 0)
    return np.where(valid, root, np.nan)


def _value(p, device_type, curve_type, variant, x):
    vg, vd, vb = curve_biases(device_type, curve_type, variant, np.full(len(p.W), float(x)))
    return drain_current(p, vg, vd, vb)


def on_resistance(p, vg, vb=0.0):
    """dVd/dId at Vd -> 0 in Ohm: the series resistances plus the channel's 1/g_ds0 (the gate and body
    drives have no first-order effect at Id = 0), with the junction's own conductance beside them."""
    vgs, vsb = np.broadcast_to(vg, p.W.shape), np.broadcast_to(vb, p.W.shape)
    n = slope_factor(p, vsb)
    nvt = n * p.vt
    drive = vgs - threshold_voltage(p, vsb, 0.0)
    vov = 2 * nvt * _softplus(drive / (2 * nvt))
    mu = p.mu0 / (1.0 + p.theta_mu * vov)
    i_s = 2 * n * mu * p.cox * (p.W / p.l_eff) * p.vt ** 2
    u = drive / nvt
    f_prime = _softplus(u / 2) / (1.0 + np.exp(-u / 2))             # F'(u)
    knee_slope = 1.0 - 1.0 / (1.0 + np.exp(p.knee / p.softness))    # d Vds,int / d Vds at 0
    g_ch = i_s * f_prime / p.vt * knee_slope
    r_series = p.r_s + drift_resistance(p, vgs)
    leak, i_bd, mult = junction_currents(p, vsb)
    g_leak = p.i_leak_ref / p.leak_norm / (2 * p.v_bi * np.sqrt(1.0 + vsb / p.v_bi))
    g_bd = 0.0
    if p.avalanche:
        g_bd = i_bd / p.v_av / (1.0 + np.exp(np.minimum((vsb - p.bv) / p.v_av, 700.0)) * p.j0 / p.j_max)
    return 1.0 / (mult / (r_series + 1.0 / g_ch) + g_leak + g_bd)


def _gm_max(p, device_type, curve_type, variant, x_range, points=3001):
    """(gm_max in S, the max-gm linear-extrapolation intercept in V) of the continuous transfer curve:
    gm on a dense grid by central differences, refined by a parabola through the peak."""
    x = np.linspace(float(x_range[0]), float(x_range[-1]), points)
    h = 1e-4
    pc = p.column()

    def current(v):
        vg, vd, vb = curve_biases(device_type, curve_type, variant, v[None, :])
        return drain_current(pc, vg, vd, vb)

    gm = (current(x + h) - current(x - h)) / (2 * h)
    k = np.clip(np.argmax(gm, axis=1), 1, points - 2)
    rows = np.arange(len(k))
    g0, g1, g2 = gm[rows, k - 1], gm[rows, k], gm[rows, k + 1]
    denom = g0 - 2 * g1 + g2
    shift = np.where(denom < 0, 0.5 * (g0 - g2) / np.where(denom < 0, denom, 1.0), 0.0)
    dx = x[1] - x[0]
    x_peak = x[k] + np.clip(shift, -1, 1) * dx
    vg, vd, vb = curve_biases(device_type, curve_type, variant, x_peak)
    i_peak = drain_current(p, vg, vd, vb)
    g_peak = (drain_current(p, *curve_biases(device_type, curve_type, variant, x_peak + h))
              - drain_current(p, *curve_biases(device_type, curve_type, variant, x_peak - h))) / (2 * h)
    return g_peak, x_peak - i_peak / g_peak


def _min_point_swing(p, device_type, curve_type, variant, x_start, v_level, points=4001):
    """The smallest dVg/dlog10|Id| (mV/decade) on the continuous curve between x_start and the
    threshold bias v_level (per device)."""
    t = np.linspace(0.0, 1.0, points)[None, :]
    x = x_start + (v_level - x_start)[:, None] * t
    h = 1e-5
    pc = p.column()

    def logi(v):
        vg, vd, vb = curve_biases(device_type, curve_type, variant, v)
        return np.log10(drain_current(pc, vg, vd, vb))

    slope = (logi(x + h) - logi(x - h)) / (2 * h)
    return 1000.0 / np.max(slope, axis=1)


DEFAULT_CRITERIA = {"i_vth": 1e-7, "i_bv": 1e-6, "vd_lin": 0.1, "vd_sat": 3.3, "v_off": 0.0}


def truth(devices, device_type, criteria=None, process=None, config=None):
    """The figures of each device computed on its continuous closed-form curves (no grid), with
    korva's definitions and criteria where one applies, plus the model's own parameters:

      vth_lin, vth_sat / vth   constant-current thresholds at log10(i_vth W/L) (PLD; criterion
                               vth_norm "w" or "abs": i_vth W or i_vth) or log10(i_vth) (NLD)
      ss                       n Vt ln 10 (mV/decade) at Vb = 0: the ideal weak-inversion swing
      ss_min                   the smallest point swing below the threshold level (floor and moderate
                               inversion included)
      dibl                     1000 (vth_lin - vth_sat) / (3.3 - 0.1) at constant current (mV/V)
      dibl_vt                  1000 theta_sc: the threshold voltage's own DIBL (mV/V)
      body_effect              least-squares slope of the constant-current vth_lin over the Vb variants
      gamma, n, vt             body-effect coefficient (V^0.5), slope factor, thermal voltage
      log_ion, log_ioff        log10 |Id| at v_on / v_off on "id-vg-sat" Vb=0 (PLD) or "id-vg" (NLD)
      ron                      dVd/dId at Vd -> 0 on "id-vd-0" Vg=-3.30 (PLD) or "id-vd" (NLD), Ohm
      r_series, r_channel      its parts: Rs + Rd and the channel's 1/g_ds0
      log_idsat, log_idsat_w   log10 |Id| at vd_sat on "id-vd-0" Vg=-3.30 (PLD), and per um of W
      bv, bv_censored          the drain bias where the breakdown curve reaches i_bv W (PLD); 15 V
                               and True when beyond the sweep
      bv_param                 the model's BV (avalanche current j0 W)
      gm_max, vth_gm_intercept the max-gm linear extrapolation of the linear transfer curve
                               (PLD "id-vg-lin" Vb=0, NLD "id-vg"): gm_max (S) and the gate bias where
                               the tangent at max gm meets Id = 0 (subtract vd/2 for the textbook Vth)
      W, L, ron_w              W (um), drawn L (um), ron x W (Ohm um)
    """
    import pandas as pd
    pld = device_type == "PLD"
    c = {**DEFAULT_CRITERIA, "vth_norm": "w/l" if pld else "abs", "v_on": 3.3 if pld else 6.0, **(criteria or {})}
    config = config or device_config(device_type)
    info = config["CURVE_INFO"]
    p = device_params(devices, device_type, process)
    out = {}
    n0 = slope_factor(p, 0.0)
    norm = {"w/l": p.W / p.L, "w": p.W, "abs": np.ones_like(p.W)}[c.get("vth_norm", "w/l")]
    if device_type == "PLD":
        level = np.log10(c["i_vth"] * norm)
        lin, sat = info["id-vg-lin"], info["id-vg-sat"]
        vths = {}
        for label, variant in lin["variants"].items():
            vths[float(variant["Vb"])] = constant_current_voltage(p, "PLD", "id-vg-lin", variant, level, lin["x_range"])
        out["vth_lin"] = vths[0.0]
        out["vth_sat"] = constant_current_voltage(p, "PLD", "id-vg-sat", {"Vb": 0.0}, level, sat["x_range"])
        out["ss"] = 1000 * n0 * p.vt * LN10
        out["ss_min"] = _min_point_swing(p, "PLD", "id-vg-lin", {"Vb": 0.0}, float(lin["x_range"][0]), out["vth_lin"])
        vd_lin, vd_sat = CURVE_BIASES["PLD"]["id-vg-lin"][1]["vd"], CURVE_BIASES["PLD"]["id-vg-sat"][1]["vd"]
        out["dibl"] = 1000 * (out["vth_lin"] - out["vth_sat"]) / (vd_sat - vd_lin)
        out["dibl_vt"] = 1000 * p.theta_sc
        vb = np.array(sorted(vths))
        vt_b = np.column_stack([vths[v] for v in vb])
        vb_c = vb - vb.mean()
        out["body_effect"] = (vt_b - vt_b.mean(axis=1, keepdims=True)) @ vb_c / (vb_c @ vb_c)
        out["gamma"], out["n"], out["vt"] = p.gamma, n0, np.full(len(p.W), p.vt)
        out["log_ion"] = np.log10(_value(p, "PLD", "id-vg-sat", {"Vb": 0.0}, c["v_on"]))
        out["log_ioff"] = np.log10(np.maximum(_value(p, "PLD", "id-vg-sat", {"Vb": 0.0}, c["v_off"]), I_CLIP))
        out["on_off"] = out["log_ion"] - out["log_ioff"]
        vg_on = 3.3
        out["ron"] = on_resistance(p, vg_on)
        out["r_series"] = p.r_s + drift_resistance(p, vg_on)
        out["r_channel"] = out["ron"] - out["r_series"]
        out["log_idsat"] = np.log10(_value(p, "PLD", "id-vd-0", {"Vg": -3.3}, c["vd_sat"]))
        out["log_idsat_w"] = out["log_idsat"] - np.log10(p.W)
        bd = info["breakdown"]["x_range"]
        bv = constant_current_voltage(p, "PLD", "breakdown", {}, np.log10(c["i_bv"] * p.W), bd)
        censored = np.isnan(bv)
        out["bv"] = np.where(censored, float(bd[-1]), bv)
        out["bv_censored"] = censored
        out["bv_param"] = p.bv
        gm, icpt = _gm_max(p, "PLD", "id-vg-lin", {"Vb": 0.0}, lin["x_range"])
    else:
        level = np.log10(c["i_vth"] * np.ones_like(p.W))
        vg_info = info["id-vg"]
        out["vth"] = constant_current_voltage(p, "NLD", "id-vg", {}, level, vg_info["x_range"])
        out["ss"] = 1000 * n0 * p.vt * LN10
        out["ss_min"] = _min_point_swing(p, "NLD", "id-vg", {}, float(vg_info["x_range"][0]), out["vth"])
        out["gamma"], out["n"], out["vt"] = p.gamma, n0, np.full(len(p.W), p.vt)
        out["log_ion"] = np.log10(_value(p, "NLD", "id-vg", {}, c["v_on"]))
        out["log_ioff"] = np.log10(np.maximum(_value(p, "NLD", "id-vg", {}, c["v_off"]), I_CLIP))
        out["on_off"] = out["log_ion"] - out["log_ioff"]
        vg_on = CURVE_BIASES["NLD"]["id-vd"][1]["vg"]
        out["ron"] = on_resistance(p, vg_on)
        out["r_series"] = p.r_s + drift_resistance(p, vg_on)
        out["r_channel"] = out["ron"] - out["r_series"]
        out["bv_param"] = p.bv
        gm, icpt = _gm_max(p, "NLD", "id-vg", {}, vg_info["x_range"])
    out["gm_max"], out["vth_gm_intercept"] = gm, icpt
    out["W"], out["L"] = p.W, p.L
    out["ron_w"] = out["ron"] * p.W
    index = getattr(devices, "index", None)
    return pd.DataFrame(out, index=index)


# ---------------------------------------------------------------------------------------------
# special cases for the figure tests

def special_case(name, n=8, seed=0, **process_changes):
    """(devices, device_type, process) of a named special case:

      "long_channel_400K"  PLD devices with Length 3-5 um (no roll-off, DIBL under 0.001 mV/V), series
                           and drift resistance and mobility degradation on, at 400 K, no junction
                           leakage: swing = n Vt ln 10 and Ron = Rs + Rd + 1/g_ds0 in closed form;
      "leakage_floor"      PLD devices of the design ranges with a flat floor `floor_decades` (default
                           1.7) under the threshold level (i_vth = `floor_i_vth`, default 1e-7) at 300 K;
      "nld_channel_dominated"  NLD devices with a long channel (B 3-4 um) and a short drift
                           (C, D, E 0.2-0.4 um): the channel is most of Ron, and Id-Vd saturates
                           within a few volts.
    Extra keyword arguments replace fields of the process."""
    if name == "long_channel_400K":
        ranges = {**RANGES["PLD"], "Length": (3.0, 5.0, "lin")}
        proc = dataclasses.replace(PLD_PROCESS, temperature=400.0, leakage=False)
        device_type = "PLD"
    elif name == "leakage_floor":
        ranges = RANGES["PLD"]
        changes = {"floor_decades": 1.7}
        changes.update({k: process_changes.pop(k) for k in ("floor_decades",) if k in process_changes})
        proc = dataclasses.replace(PLD_PROCESS, **changes)
        device_type = "PLD"
    elif name == "nld_channel_dominated":
        ranges = {**RANGES["NLD"], "B": (3.0, 4.0, "lin"), "C": (0.2, 0.4, "lin"), "D": (0.2, 0.4, "lin"),
                  "E": (0.2, 0.4, "lin")}
        proc = NLD_PROCESS
        device_type = "NLD"
    else:
        raise ValueError(f"unknown special case {name!r}")
    if process_changes:
        proc = dataclasses.replace(proc, **process_changes)
    return sample_devices(device_type, n, seed, ranges), device_type, proc


def area(devices, device_type, contact=0.5):
    """The device's layout area in um^2: PLD W x (Length + Si pitch + 2 contact); NLD HP x W (each
    finger a half-pitch HP wide)."""
    if device_type == "PLD":
        return (_column(devices, "Finger Width") * _column(devices, "nf")
                * (_column(devices, "Length") + _column(devices, "Si pitch") + 2 * contact))
    return nld_base_inputs(devices)[:, 6] * NLD_WIDTH
