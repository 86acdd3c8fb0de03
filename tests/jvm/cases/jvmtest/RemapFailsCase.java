package jvmtest;

import java.util.ArrayList;
import java.util.List;
import qv.vantrel.quorvane.Quorvane;
import qv.vantrel.quorvane.remapper.Remap;

/**
 * A transformer that fails leaves the class as it was, one warning in the log, and nothing
 * for the loading code to see. Argument "throw": the failure handler hears of the class and
 * the throwable; "null": the transformer gives nothing and the handler hears nothing;
 * "handler-throws": the handler fails too, and the report still reaches standard error.
 */
public final class RemapFailsCase {
    private RemapFailsCase() {
    }

    private record Failure(String name, Throwable thrown) {
    }

    public static void main(String[] args) {
        Check.run("remap-fails", args, a -> {
            String mode = a[0];
            RuntimeException boom = new IllegalStateException("transformer failure for the test");
            List<Failure> reported = new ArrayList<>();
            Remap.setFailureHandler((name, thrown) -> {
                synchronized (reported) {
                    reported.add(new Failure(name, thrown));
                }
                if (mode.equals("handler-throws")) {
                    throw new IllegalArgumentException("handler failure for the test");
                }
            });
            Recorder recorder = new Recorder(bytes -> {
                if (mode.equals("null")) {
                    return null;
                }
                throw boom;
            });
            Remap.setTransformer(recorder);
            Check.that(Quorvane.addInclude("fixture/Greeter"), "addInclude returned false");
            Check.that(Quorvane.initNative(), "initNative returned false");

            // Any exception escaping to here fails the case.
            Check.equal(ClassFiles.ORIGINAL, Fixtures.run("fixture.Greeter"), "fixture.Greeter.get()");

            Check.equal(1, recorder.calls("fixture/Greeter"), "transformer calls");
            List<AgentLog.Line> log = AgentLog.checkedFile("info", "warning");
            AgentLog.once(log, "warning", "[Quorvane] Remap returned null/exception for: fixture/Greeter");
            AgentLog.none(log, "Remapped:");
            synchronized (reported) {
                List<Failure> expected = mode.equals("null") ? List.of() : List.of(new Failure("fixture/Greeter", boom));
                Check.equal(expected, reported, "failures reported to the handler");
            }
            if (mode.equals("handler-throws")) {
                String err = AgentLog.stderr();
                Check.that(err.contains("fixture/Greeter") && err.contains(boom.getMessage())
                        && err.contains("handler failure for the test"),
                        "standard error lacks the class, the transformer failure or the handler failure:%n%s", err);
            }
        });
    }
}
