"""Many devices, many machines: predict_curves_for_inputs mapped over a few hundred devices in
this process, in process pools (the platform's default start method and "spawn") and on a local
Dask cluster must give exactly the same curve records; the function, the models and the NLD
input transform travel to the workers by pickling."""
import concurrent.futures
import multiprocessing
import pickle
from itertools import repeat

import numpy as np
import pandas as pd
import pytest

import curve_models as cm

# a PLD device costs about ten times an NLD one (21 curves against 2, 7 predict calls each)
N_PLD = 60
N_NLD = 160
CHUNK = 25


@pytest.fixture(scope="module")
def mos():
    from korva.curve import mos_utils
    return mos_utils


@pytest.fixture(scope="module")
def workload():
    """The models of both device types and the devices to map over, PLD and NLD interleaved."""
    models = cm.all_models()
    pld, nld = cm.pld_inputs(N_PLD), cm.nld_inputs(N_NLD)
    tagged = [x for pair in zip(pld, nld) for x in pair] + pld[len(nld):] + nld[len(pld):]
    types = [("PLD", "NLD")[i % 2] for i in range(2 * min(N_PLD, N_NLD))]
    types += ["PLD"] * (N_PLD - len(nld)) + ["NLD"] * (N_NLD - len(pld))
    devices = tagged
    return models, devices, types


@pytest.fixture(scope="module")
def serial(mos, workload):
    models, devices, types = workload
    return [mos.predict_curves_for_inputs(models, d, t) for d, t in zip(devices, types)]


def test_serial_results_match_python_replay(mos, workload, serial):
    models, devices, types = workload
    counts = {"PLD": 21, "NLD": 2}
    for records, t in zip(serial, types):
        assert len(records) == counts[t]
    # a sample of both device types, float for float
    for i in range(0, 16):
        expected = cm.replay_curves(models, devices[i], types[i], mos._DEVICE_CONFIG[types[i]])
        assert serial[i] == expected
    # the records carry the blend: every curve has a ".linear" model, so the last point is the
    # log10 of the floored linear predictions
    first = serial[0][0]
    assert len(first["_y_coords"]) == 4 and first["x_coords"][0] == 0.0


def test_function_pickles_by_reference(mos):
    import cloudpickle
    import dill
    fn = mos.predict_curves_for_inputs
    for dumps in (pickle.dumps, cloudpickle.dumps, dill.dumps):
        payload = dumps(fn)
        assert b"korva.curve.mos_utils" in payload and b"predict_curves_for_inputs" in payload
        assert len(payload) < 200  # a reference, not the function's contents
        assert pickle.loads(payload) is fn


def _pool_map(context, models, devices, types, fn):
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        state = list(pool.map(cm.korva_module_state, range(4)))
        results = list(pool.map(fn, repeat(models), devices, types, chunksize=CHUNK))
    return results, state


@pytest.mark.parametrize("method", [None, "spawn"], ids=["default", "spawn"])
def test_process_pool_gives_identical_records(mos, workload, serial, method):
    models, devices, types = workload
    context = multiprocessing.get_context(method)
    results, state = _pool_map(context, models, devices, types, mos.predict_curves_for_inputs)
    import korva
    # the workers use the same extension file as this process
    assert {s["korva_file"] for s in state if s["korva_file"] is not None} <= {korva.__file__}
    assert len(results) == len(serial)
    assert results == serial


def test_spawned_worker_restores_input_transform(mos):
    """Only cloudpickle and dill have to carry the anonymous NLD transform; the worker restores it
    before korva.curve.mos_utils is imported there, and it must compute the same Series."""
    import cloudpickle
    import dill
    transform = mos._DEVICE_CONFIG["NLD"]["INPUT_TRANSFORM"]
    devices = cm.nld_inputs(5, seed=7)
    payloads = {"cloudpickle": cloudpickle.dumps(transform), "dill": dill.dumps(transform)}
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        assert pool.submit(cm.korva_module_state, 0).result()["mos_utils"] is False
        for loader, payload in payloads.items():
            for d in devices:
                out = pool.submit(cm.apply_pickled, payload, loader, d).result()
                expected = transform(d)
                assert out["name"] == "<lambda>" and out["module_loaded"]
                assert out["result"].equals(expected) and list(out["result"].index) == list(expected.index)
                assert expected.equals(cm.nld_transform(d))


# --- Dask -----------------------------------------------------------------------------------


def test_dask_gives_identical_records(mos, workload, serial, dask_client):
    models, devices, types = workload
    models_future = dask_client.scatter(models, broadcast=True)
    futures = dask_client.map(mos.predict_curves_for_inputs, [models_future] * len(devices), devices, types,
                              pure=False)
    results = dask_client.gather(futures)
    assert results == serial
    import korva
    state = dask_client.run(cm.korva_module_state)
    assert {s["korva_file"] for s in state.values()} == {korva.__file__}


@pytest.mark.parametrize("loader", ["cloudpickle", "dill", "direct"])
def test_dask_worker_restores_input_transform(mos, dask_client, loader):
    import cloudpickle
    import dill
    transform = mos._DEVICE_CONFIG["NLD"]["INPUT_TRANSFORM"]
    devices = cm.nld_inputs(4, seed=11)
    if loader == "direct":
        # Dask ships the transform itself (pickle first, cloudpickle when pickle refuses)
        outs = dask_client.gather([dask_client.submit(cm.apply_callable, transform, d, pure=False) for d in devices])
    else:
        payload = {"cloudpickle": cloudpickle.dumps, "dill": dill.dumps}[loader](transform)
        outs = [o["result"] for o in dask_client.gather(
            [dask_client.submit(cm.apply_pickled, payload, loader, d, pure=False) for d in devices])]
    for out, d in zip(outs, devices):
        assert isinstance(out, pd.Series)
        assert out.equals(transform(d)) and list(out.index) == list(transform(d).index)
        np.testing.assert_array_equal(out.values, cm.nld_transform(d).values)


def test_dask_ships_a_custom_config_holding_the_transform(mos, workload, dask_client):
    """A caller's own configuration (a copy of the NLD one with another blend order) travels to the
    workers with its input transform inside and gives the serial results there."""
    models, devices, types = workload
    config = dict(mos._DEVICE_CONFIG["NLD"], PREDICTION_PARAMS={"auto_linear_blend": 1})
    nld = [d for d, t in zip(devices, types) if t == "NLD"][:20]
    serial = [mos.predict_curves_for_inputs(models, d, "NLD", None, config) for d in nld]
    assert serial[0] != mos.predict_curves_for_inputs(models, nld[0], "NLD")  # the order matters
    futures = [dask_client.submit(mos.predict_curves_for_inputs, models, d, "NLD", config=config, pure=False)
               for d in nld]
    assert dask_client.gather(futures) == serial


@pytest.mark.parametrize("device_type", ["PLD", "NLD"])
def test_batch_dask_frame_is_the_pandas_frame(dask_client, device_type):
    """korva.curve.batch over a dask DataFrame: a lazy frame whose partitions, computed on the
    workers, make up the pandas call's frame exactly; the models enter the graph once."""
    from korva.curve.batch import predict_curves_for_frame as predict_frame
    models = cm.all_models(n_estimators=4, linear_estimators=3)
    devices = pd.DataFrame(cm.device_inputs(device_type, 24, seed=9))
    devices.index = [f"{device_type}-{i}" for i in range(len(devices))]
    import cloudpickle
    import dask.dataframe as dd
    devices = dd.from_pandas(devices, npartitions=4)
    lazy = predict_frame(models, devices, device_type, exact=True, output="frame", chunk_size=3)
    graph = dict(lazy.__dask_graph__())
    assert len(cloudpickle.dumps(graph)) < 1.5 * len(cloudpickle.dumps(models))  # the models, once
    got = dask_client.compute(lazy).result()
    expected = predict_frame(models, devices.compute(), device_type, exact=True, output="frame")
    assert got.dtypes.to_dict() == expected.dtypes.to_dict()
    assert list(lazy.dtypes.index) == list(expected.columns)
    assert lazy.dtypes.drop("device").to_dict() == expected.dtypes.drop("device").to_dict()
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected, check_exact=True)
    with pytest.raises(ValueError, match="output='records' is not available for a dask DataFrame"):
        predict_frame(models, devices, device_type)
