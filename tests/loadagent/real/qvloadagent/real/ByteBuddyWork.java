package qvloadagent.real;

import static net.bytebuddy.matcher.ElementMatchers.named;

import java.lang.instrument.Instrumentation;
import net.bytebuddy.agent.ByteBuddyAgent;
import net.bytebuddy.agent.builder.AgentBuilder;
import net.bytebuddy.asm.Advice;

/** Everything that needs Byte Buddy's agent classes, loaded once its jar is appended. */
final class ByteBuddyWork {
    private ByteBuddyWork() {
    }

    /** Appends to what greet() returns. */
    public static final class Exclaim {
        private Exclaim() {
        }

        @Advice.OnMethodExit
        static void exit(@Advice.Return(readOnly = false) String greeting) {
            greeting = greeting + ", advised";
        }
    }

    /** The agent's Instrumentation, as Byte Buddy finds it. */
    static Instrumentation installed() {
        Instrumentation inst = ByteBuddyAgent.getInstrumentation();
        Mode.check(ByteBuddyAgent.install() == inst, "install() did not return the agent's Instrumentation");
        return inst;
    }

    static void advise(Instrumentation inst) throws ReflectiveOperationException {
        new AgentBuilder.Default()
                .disableClassFormatChanges()
                .with(AgentBuilder.RedefinitionStrategy.RETRANSFORMATION)
                .type(named("qvloadagent.real.Greeter").or(named("qvloadagent.real.LaterGreeter")))
                .transform((builder, type, loader, module, domain) -> builder.visit(Advice.to(Exclaim.class)
                        .on(named("greet"))))
                .installOn(inst);
        String before = Greeter.greet();
        Mode.check(before.equals("hello, advised"), "a class loaded before: " + before);
        String later = (String) Class.forName("qvloadagent.real.LaterGreeter").getMethod("greet").invoke(null);
        Mode.check(later.equals("hello, advised"), "a class loaded later: " + later);
    }
}
