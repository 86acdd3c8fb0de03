package qvstress;

import java.lang.instrument.Instrumentation;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.List;
import java.util.concurrent.atomic.AtomicReference;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;
import qvstress.agent.RetransformAgent;

/**
 * What a detached copy says and leaves behind; the argument picks the part.
 *
 * <p>{@code before-init}: detached before initNative(), the copy never starts its log, so
 * libagent.log stays as it was; each initNative() returns false with one line on standard
 * error; the retransform calls say the copy was detached.
 *
 * <p>{@code after-init} (with the tests' -javaagent): detach() called from a running
 * transformer, which then calls retransform, and from the main thread afterwards: every
 * retransform call says the copy was detached. The class the copy rewrote keeps the rewrite
 * until another agent retransforms it, which gives it its original code back.
 */
public final class DetachCase {
    private static final String DETACHED = "this copy of Quorvane was detached";

    private DetachCase() {
    }

    public static void main(String[] args) throws Exception {
        Support.watchdog(100, "detach " + args[0]);
        switch (args[0]) {
            case "before-init" -> beforeInit();
            case "after-init" -> afterInit();
            default -> Support.fail("unknown part " + args[0]);
        }
        System.out.println("detach " + args[0] + ": passed");
    }

    private static void beforeInit() throws Exception {
        Path log = Paths.get("libagent.log");
        String earlier = "[2026-12-10 06:02:29] [info] [Quorvane] a line another process wrote\n";
        Files.writeString(log, earlier);

        Quorvane.detach();
        Support.check(!Quorvane.initNative(), "initNative after detach returned true");
        Support.check(!Quorvane.initNative(), "initNative after detach returned true the second time");

        Support.check(Files.readString(log).equals(earlier), "libagent.log changed: " + Files.readString(log));
        List<String> errors = Files.readAllLines(Paths.get("/proc/self/fd/2"), StandardCharsets.UTF_8);
        long lines = errors.stream().filter(l -> l.matches(
                "\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\] \\[error\\] \\[Quorvane\\] initNative: " + DETACHED
                        + " before its log started")).count();
        Support.check(lines == 2, "standard error does not hold one line for each initNative(): " + errors);
        Support.check(detachedMessage(Quorvane::retransformLoaded).equals(DETACHED), "retransformLoaded()");
        Support.check(detachedMessage(() -> Quorvane.retransform(String.class)).equals(DETACHED), "retransform()");
    }

    private static void afterInit() throws Exception {
        Instrumentation inst = RetransformAgent.instrumentation();
        Support.check(inst != null, "the -javaagent did not start");
        AtomicReference<Class<?>> target = new AtomicReference<>();
        AtomicReference<String> fromTransformer = new AtomicReference<>("(not called)");
        Remap.setTransformer((name, bytes) -> {
            if (name.equals("det/Trigger")) {
                Quorvane.detach();
                fromTransformer.set(detachedMessage(() -> Quorvane.retransform(target.get())));
            }
            return Support.taggedClass(name, "rewritten");
        });
        Remap.setFailureHandler((name, failure) -> Support.fail("transformer failed for " + name + ": " + failure));
        Support.check(Quorvane.addInclude("det/"), "addInclude failed");
        Support.check(Quorvane.initNative(), "initNative failed");

        Support.ParallelLoader loader = new Support.ParallelLoader(name -> Support.taggedClass(name, "original"));
        target.set(Class.forName("det.Target", false, loader));
        Support.check(tag(target.get()).equals("rewritten"), "Target was not rewritten as it loaded");
        Class.forName("det.Trigger", false, loader);
        Support.check(fromTransformer.get().equals(DETACHED), "from the transformer: " + fromTransformer.get());
        Support.check(detachedMessage(Quorvane::retransformLoaded).equals(DETACHED), "retransformLoaded()");
        Support.check(detachedMessage(() -> Quorvane.retransform(target.get())).equals(DETACHED), "retransform()");

        Support.check(tag(target.get()).equals("rewritten"), "Target lost its rewrite at detach");
        inst.retransformClasses(target.get());
        Support.check(tag(target.get()).equals("original"),
                "another agent's retransformation left Target as the detached copy rewrote it");

        List<String> lines = Support.checkLogWellFormed();
        Support.check(Support.countLines(lines, "[info] [Quorvane] Detached: ") == 1, "no line for the detach");
    }

    /** The message of the IllegalStateException the call must throw, or what went wrong instead. */
    private static String detachedMessage(Runnable call) {
        try {
            call.run();
            return "(nothing thrown)";
        } catch (IllegalStateException expected) {
            return expected.getMessage();
        }
    }

    private static String tag(Class<?> type) throws Exception {
        return (String) type.getMethod("tag").invoke(null);
    }
}
