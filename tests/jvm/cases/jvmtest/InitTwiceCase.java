package jvmtest;

import java.util.List;
import java.util.Set;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * A second initNative succeeds and logs its steps again, but the hook stays installed once:
 * a selected class still passes through the transformer once. Argument "sequential": one
 * call after the other; "concurrent": two threads call at the same moment.
 */
public final class InitTwiceCase {
    private InitTwiceCase() {
    }

    public static void main(String[] args) {
        Check.run("init-twice", args, a -> {
            Recorder recorder = Recorder.rewriting();
            Remap.setTransformer(recorder);
            Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");

            if (a[0].equals("concurrent")) {
                CountDownLatch start = new CountDownLatch(1);
                ExecutorService pool = Executors.newFixedThreadPool(2);
                List<Future<Boolean>> results = List.of(
                        pool.submit(() -> awaitAndInit(start)), pool.submit(() -> awaitAndInit(start)));
                start.countDown();
                for (Future<Boolean> result : results) {
                    Check.that(result.get(), "initNative returned false on one of the threads");
                }
                pool.shutdown();
            } else {
                Check.that(Quorvane.initNative(), "first initNative returned false");
                Check.that(Quorvane.initNative(), "second initNative returned false");
            }

            Check.equal(ClassFiles.REWRITTEN, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get()");
            Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls for fixture/Greeter");

            List<AgentLog.Line> log = AgentLog.checkedFile("info", "debug");
            AgentLog.once(log, "info", "[Quorvane] Remapped: fixture/Greeter ("
                    + Fixtures.classFile("fixture/Greeter").length + " -> "
                    + ClassFiles.rewrite(Fixtures.classFile("fixture/Greeter")).length + " bytes)");
            AgentLog.Line initializing = new AgentLog.Line("info", AgentLog.INITIALIZING);
            AgentLog.Line added = new AgentLog.Line("info", "[Quorvane] Added JVMTI capabilities");
            AgentLog.Line cached = new AgentLog.Line("debug",
                    "[Quorvane] Cached static declarations: qv/vantrel/quorvane/remapper/Remap.remap");
            AgentLog.Line initialized = new AgentLog.Line("info", "[Quorvane] Quorvane is initialized.");
            Set<AgentLog.Line> steps = Set.of(initializing, added, cached, initialized);
            // The calls are serialized, so their lines never interleave.
            Check.equal(List.of(initializing, added, cached, initialized, initializing, added, initialized),
                    log.stream().filter(steps::contains).toList(), "lines of the two calls");
        });
    }

    private static boolean awaitAndInit(CountDownLatch start) throws InterruptedException {
        start.await();
        return Quorvane.initNative();
    }
}
